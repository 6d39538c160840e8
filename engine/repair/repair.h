#pragma once

// Repair: a walk of FOLDER exactly as Check's, which brings each damaged
// file back from an intact copy in one of the COPY folders. A file is to
// repair when its stored digest is a SHA-256 digest that differs from its
// contents and its verdict is damage (or, when asked, unknown); an edited
// file is never touched. Copies are only read. The observer hears of every
// file in walk order, once whatever repair it needed is done. Damage it
// leaves, other than an edit, is a failure the status shows.

#include "engine/run/run.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

struct RepairOptions
{
    RunOptions run; // the walk of FOLDER; repairFolder makes it a Check with details
    std::vector<std::string> copies; // absolute and normalised, in the order given
    bool dryRun = false;             // find the copies, write nothing
    bool alsoUnknown = false;        // repair files whose verdict is unknown too
    // Each folder's parity sets come first, copies after. A set made
    // elsewhere, by its raw path, replaces the sets of its folder.
    std::optional<std::string> paritySet;
    bool restoreMissing = false; // files a set covers that are gone come back too
};

enum class RepairResult
{
    none, // no line: an entry left out, a special file, a folder entered
    matched,
    noDigest,
    readFailed,
    left, // differs, but is not to repair
    repaired,
    wouldRepair,
    noCopy,
    repairFailed,
    leftover,   // a temporary file of an interrupted repair
    damagedCopy // damaged bytes an earlier repair kept
};

struct RepairCounts
{
    std::int64_t toRepair = 0;
    std::int64_t repaired = 0;
    std::int64_t keptDamaged = 0; // damaged files now named NAME.damaged[.N]
    std::int64_t wouldRepair = 0;
    std::int64_t noCopy = 0;
    std::int64_t repairFailed = 0;
    std::int64_t left = 0;
    std::int64_t leftUnknown = 0;     // left only because --also-unknown was not given
    std::int64_t copyFilesHashed = 0; // files of the copies digested, each once
    std::int64_t restored = 0;        // missing files brought back
    std::int64_t restoreFailed = 0;
};

// One entry of the walk, after its repair.
struct RepairedEntry
{
    const EntryOutcome& entry;
    RepairResult result = RepairResult::none;
    std::string lines;               // its report text; verbose lines only when asked
    std::optional<std::string> copy; // the copy used or found, raw bytes; none from parity
    std::string reason;              // why it was left, or not repaired
    bool fromParity = false;
};

// A file a parity set covers that was gone, after the walk.
struct RestoredFile
{
    std::string path;                // raw bytes
    bool restored = false;
    std::optional<std::string> copy; // the copy it came from; none from parity
    std::string reason;              // why not
    std::string lines;               // its report text
};

class RepairObserver
{
public:
    virtual ~RepairObserver() = default;
    virtual void entryDone(const RepairedEntry&) {}
    virtual void fileRestored(const RestoredFile&) {}
    virtual void progress(const RunProgress&) {}
    virtual bool stopRequested() { return false; }
};

struct RepairState
{
    RunState run;
    RepairCounts counts;
};

// Refuses a copy that is not a readable folder, lies inside the folder to
// repair, or holds it, by real paths; in words for the user.
std::expected<void, std::string> validateCopies(const std::string& folder,
                                                const std::vector<std::string>& copies);

// Refuses a set made elsewhere that is not a file in folder or a folder below it.
std::expected<void, std::string> validateParitySet(const std::string& folder,
                                                   const std::string& set);

// True when a set of Quelby's lies at or below the folder.
bool hasParityBelow(const std::string& folder);

class DigestPool;

// Unexpected only when a copy cannot be opened at all. With a pool, FOLDER's
// files are digested by its workers; repairs still happen one by one in walk order.
std::expected<RepairState, std::string> repairFolder(const RepairOptions& options,
                                                     RepairObserver& observer,
                                                     DigestPool* pool = nullptr);

// The summary line, with its line break.
std::string repairSummaryText(const RepairOptions& options, const RepairState& state);

} // namespace quelby
