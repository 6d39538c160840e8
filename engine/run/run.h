#pragma once

// One run of Check, Tag or Retag over a folder: its fixed options, the counts
// its walk adds up, what each entry it finishes leaves behind, and the
// observer through which a caller follows and stops it. A walk is a plain
// call; the observer hears of every entry in walk order, as soon as it is done.

#include "engine/platform/sys.h"
#include "engine/read/buffer_size.h"
#include "engine/read/file_digest.h"
#include "engine/read/read_plan.h"
#include "engine/run/verdict.h"
#include "engine/store/evidence_store.h"
#include "engine/store/tag_store.h"
#include "engine/tree/exclusions.h"

#include <cstdint>
#include <ctime>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby {

enum class Operation
{
    check,
    tag,
    retag
};

// What Tag and Retag keep of each file they prove for the parity sets, when
// the full details are not asked for: the digest they computed and, where a
// set will record it, the stamp the file carried. The device and the inode
// come from the state the file was opened in.
enum class Proofs
{
    none,
    besideSets,   // only the files of folders that hold a set
    everywhere,   // every file: every folder is to have a set
    withoutStamps // every file, no stamp: the sets are to be removed
};

// Fixed when a run starts, never changed while it runs.
struct RunOptions
{
    Operation operation = Operation::check;
    std::string folder; // absolute and normalised (normalisedFolder)
    bool verbose = false;
    bool timeStamps = false; // Tag and Retag only
    DigestBackEnd backEnd = DigestBackEnd::current;
    // The entry, in its unit, as the summaries print it, and the bytes per read.
    std::int64_t setBufferSize = BufferSize{}.setBufferSize;
    std::int64_t realBufferSize = BufferSize{}.realBufferSize;
    bool explain = false;    // Check: tell an edit from damage for each file that differs
    // Retag: rewrite a differing digest only after an edit, and stamp every digest written
    bool onlyEdited = false;
    // Tag: only files without a digest are tagged; a file that carries one is
    // neither read nor written, so no stored digest is ever replaced.
    bool newOnly = false;
    // Tag and Retag: every decision as the run would make it, but nothing
    // written; each file the run would write is reported as such.
    bool dryRun = false;
    bool details = false;    // fill in each outcome's stored values, times and verdict
    Proofs proofs = Proofs::none;
    Exclusions exclusions;   // entries left out, folders not entered
    bool oneFileSystem = false; // folders on another device than the folder are not entered
    std::size_t jobs = 1;       // files digested at once, when the walk is given a pool
    ReadOrder order = ReadOrder::name;
    // Check without reading contents (export): each file only has its stored
    // digest read; matched when it is well formed, noDigest otherwise, and
    // the value always in the outcome's stored.
    bool readsContents = true;
    // Check: false looks at the stored digest first and reads nothing of a
    // file that has none (a scrub, which only verifies tagged files).
    bool readsUntagged = true;
    // With readsUntagged false: a file without a digest that has settled gets
    // one, stamped (a scrub that protects new files).
    bool tagsNew = false;
    std::shared_ptr<EvidenceStore> evidence = attributeStore(); // where digests are kept
    // The folder, opened once when the store was chosen; the walk opens it when none.
    std::shared_ptr<const FileDescriptor> folderFd;
    // One file only, by its path relative to folder: the walk enters only the
    // folders on the way to it, and every other entry gets no outcome and no
    // count (a repair or a retag of one file). Nothing is reported gone.
    std::optional<std::string> onlyFile;
};

// The counters a run adds up; each finished entry brings its own share.
struct RunCounts
{
    std::int64_t totalCount = 0;
    std::int64_t matchedCount = 0;
    std::int64_t mismatchedCount = 0; // Check
    std::int64_t noDigestCount = 0;   // Check
    std::int64_t errorCount = 0;      // Tag
    std::int64_t retaggedCount = 0;   // Retag
    std::int64_t firstTagCount = 0;   // Retag
    std::int64_t failureCount = 0;    // every "❌" line or notice the run produced
    std::int64_t bytesRead = 0;
    // Beyond the summaries' counters:
    std::int64_t editedCount = 0;  // differing files by verdict (Check with explain)
    std::int64_t damagedCount = 0;
    std::int64_t unknownCount = 0;
    std::int64_t keptCount = 0;       // Retag with onlyEdited: stored digests kept
    // Tag and Retag: files whose digest was written (in a dry run: would be).
    std::int64_t writtenCount = 0;
    // Tag and Retag: stored digests that differed from the new one and were
    // replaced, where no verdict called the difference an edit.
    std::int64_t replacedCount = 0;
    // Tag with newOnly: files left as they were because they carry a digest.
    std::int64_t alreadyTaggedCount = 0;
    std::int64_t readFailedCount = 0; // files and folders that could not be read
    std::int64_t excludedCount = 0;   // entries left out by a pattern
    std::int64_t otherDeviceCount = 0; // folders on another file system, not entered
    // Files with no digest because their file system keeps no extended attributes.
    std::int64_t unsupportedCount = 0;
    // Files a manifest lists that are gone (Check), or whose entries were dropped (Tag, Retag).
    std::int64_t missingCount = 0;
    // Files repair left behind: its temporary files, and the damaged bytes it kept.
    std::int64_t leftoverCount = 0;
    std::int64_t damagedCopyCount = 0;
    std::int64_t newTaggedCount = 0; // files without a digest given one (tagsNew)

    RunCounts& operator+=(const RunCounts& other);
};

// What a walk leaves behind for its summary.
struct RunState : RunCounts
{
    bool stopped = false; // ended early on a stop request; no summary belongs to it
};

// What happened to one file, for readers that want more than the text.
enum class FileResult
{
    none, // an entry that gets no line: a special file, or a file stopped part-way
    matched,
    differs,
    noDigest,
    tagged,
    retagged,
    kept,
    readFailed,
    tagFailed,
    missing,    // listed in the manifest, gone from the disk
    leftover,   // a temporary file of an interrupted repair: never read or tagged
    damagedCopy, // damaged bytes a repair kept: never read or tagged
    healed       // found damaged by a scrub and rebuilt from its folder's parity set
};

// The result's name in JSON output and the journal; empty for none.
std::string_view fileResultName(FileResult result);

// One entry the walk has finished: a file, a special entry, or a folder that
// could not be read.
struct EntryOutcome
{
    std::string path; // raw bytes, as on disk
    bool isFolder = false;
    FileResult result = FileResult::none;
    // The report text this entry adds to the run's text, in order.
    std::string lines;
    // Text that must reach the report at once (Tag's notices); it follows the lines.
    std::string notices;
    RunCounts counts;
    std::string error; // the reason of a failure, as shown
    // A folder on another file system, not entered (oneFileSystem).
    bool otherDevice = false;
    // Filled in when the options ask for details; none where they do not apply.
    std::optional<std::string> stored; // the stored digest value before any write
    std::optional<Digest> computed;
    std::optional<std::string> stamp; // the stored time stamp before any write
    std::optional<timespec> modified;
    std::optional<Verdict> verdict;
    std::optional<struct stat> status; // the file as it was when judged
    std::optional<struct stat> opened; // the file as it was when opened for its visit
    bool throughLink = false;          // reached through a symbolic link
    // What the run's evidence store knew of this file and what the visit wrote.
    EvidenceSlot evidence;

    // Back to a fresh outcome, keeping what the strings hold allocated, for
    // an outcome used again for file after file. Every field above is reset
    // here: a new one must be too.
    void clear();
};

struct RunProgress
{
    std::int64_t filesDone = 0;
    std::int64_t bytesDone = 0;
    std::string_view currentPath; // raw bytes, as on disk; escaped where it is shown
};

struct EntryToVisit;

// How a caller follows a walk. Every method is called on the walk's own thread.
class RunObserver
{
public:
    virtual ~RunObserver() = default;
    // Asked for each file, once its evidence is looked up, before it is
    // opened: false leaves the file to the caller (a scrub, which first
    // surveys the tree and then reads the files that are due, in its own
    // order); it gets no outcome and no count.
    virtual bool visitsFile(const EntryToVisit&) { return true; }
    // Each finished entry, in walk order.
    virtual void entryDone(const EntryOutcome&) {}
    // Called between reads and between files; keep it cheap.
    virtual void progress(const RunProgress&) {}
    // Checked between files and between reads.
    virtual bool stopRequested() { return false; }
};

// The folder made absolute against workingFolder, with "." components and
// repeated or trailing slashes removed; symbolic links stay as they are.
std::string normalisedFolder(std::string_view folder, std::string_view workingFolder);

// A run's options before the caller's choices: the operation on folder
// (absolute, normalised), the platform's digest, and as many digests at once
// and the read order the folder's disk serves best.
RunOptions defaultRunOptions(Operation operation, std::string folder);

// Refuses options the engine cannot run with, in words for the user.
std::expected<void, std::string> validateRunOptions(const RunOptions& options);

// How the run reads its files: its jobs and order, and its buffer size within
// the share of memory that many buffers may take.
ReadPlan readPlanOf(const RunOptions& options);

// The run's folder: the descriptor it was opened through, or opened now.
std::expected<std::shared_ptr<const FileDescriptor>, PosixError>
openRunFolder(const RunOptions& options);

} // namespace quelby
