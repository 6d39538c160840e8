#pragma once

// What one operation's per-file step works with: the file opened once, its
// path, the run's options, and the outcome it fills in. The digest
// and both attributes go through the one descriptor, so they always belong to
// the same file even if its name is replaced meanwhile. A step touches
// nothing shared: everything it finds goes into its own outcome.

#include "engine/operations/visit_driver.h"
#include "engine/platform/posix_error.h"
#include "engine/read/file_digest.h"
#include "engine/run/entry_open.h"
#include "engine/run/run.h"
#include "engine/store/tag_store.h"

#include <expected>
#include <optional>
#include <string>

namespace quelby {

class FileVisit
{
public:
    FileVisit(const RunOptions& options, EntryOutcome& outcome, VisitTurn& turn,
              const ReadBuffer& buffer, int fd, std::optional<struct stat> opened = std::nullopt);

    const RunOptions& options;
    EntryOutcome& outcome;
    VisitTurn& turn;
    const ReadBuffer& buffer;
    const int fd;
    int folder = -1; // the folder that lists the file, when the walk gave it
    bool besideParitySet = false;

    // The path as the report shows it, escaped on first use: most files of
    // a quiet run write no line.
    const std::string& shownPath();

    // Digests the file from its start; reports progress and honours a stop request.
    DigestResult digest();
    // True when the last digest failed because the run was asked to stop.
    bool stopped() const { return stopped_; }
    // The digest when there is one. A read failure is reported here; a stop,
    // or an entry that is no regular file, gives none silently.
    std::optional<Digest> digestOrReport();
    // Reports this file as unreadable, in the operation's own way.
    void reportUnreadable(const std::string& reason);
    // A line of this file's report text.
    void addLine(std::string text) { outcome.lines += text; }

    // True for the damaged bytes a repair kept, which no walk judges.
    bool isDamagedCopy();
    // The stored digest; none when the file has none (no attribute, or a file
    // system without attributes); the error when reading it failed otherwise.
    std::expected<std::optional<Bytes>, PosixError> storedDigest();
    // The stored digest read ahead of the contents; the next storedDigest
    // returns the same read.
    const std::expected<std::optional<Bytes>, PosixError>& peekStoredDigest();
    // True when the last storedDigest found a file system without attributes.
    bool attributesUnsupported() const { return attributesUnsupported_; }
    // The stored time stamp's bytes, read once; none when the file carries none.
    const std::optional<Bytes>& storedStamp();
    // Edit or damage, for a file whose digest differs, from its modification
    // time against its stored stamp; recorded in the outcome.
    Verdict judge();
    // Records the details a machine-readable report shows, when asked for,
    // or else the proofs the parity sets need.
    void recordDetails(const std::optional<Digest>& computed);
    // In a dry run both writes succeed without touching the store, so that
    // every decision after them is the one the run would make.
    std::expected<void, PosixError> writeDigest(const Digest& digest);
    // Writes the time stamp of this moment; a failure is dropped by design.
    void writeTimeStamp();
    // In a folder with a parity set, a digest that differs without an edit is
    // the proof a repair needs: Tag and Retag keep it, report it and count the
    // file as kept. True when it was kept.
    bool keptForParity(const Digest& digest);

private:
    StoredFile storedFile() { return StoredFile{fd, outcome.path, outcome.evidence}; }

    bool stopped_ = false;
    // The state of the freshly opened file, until the first digest uses it.
    std::optional<struct stat> opened_;
    bool fresh_ = true; // nothing read through fd yet: no seek needed
    bool attributesUnsupported_ = false;
    // The digest isDamagedCopy read, for the operation's own first read.
    std::optional<std::expected<std::optional<Bytes>, PosixError>> firstDigestRead_;
    std::optional<std::optional<Bytes>> storedStamp_;
    std::optional<std::string> shownPath_;
};

// Per-file steps of the three operations. Each leaves totalCount to the caller.
void checkFile(FileVisit& visit);
void tagFile(FileVisit& visit);
void retagFile(FileVisit& visit);

// Tag and Retag refuse a link whose target lies outside the folder.
void reportLinkOutside(const RunOptions& options, EntryOutcome& outcome, const std::string& path);

// Reports a file or folder that could not be read, in the operation's own way.
void reportUnreadable(const RunOptions& options, EntryOutcome& outcome, const std::string& path,
                      const std::string& reason);

// The whole visit of one listed entry that is no folder: open, the
// operation's step, and the count, into outcome, which comes cleared.
// Returns false when a stop interrupted it part-way: such a file gets no
// line and no attribute.
bool visitEntry(const RunOptions& options, const TreeRules& rules, const EntryToVisit& entry,
                const ReadBuffer& buffer, PseudoFileSystems& pseudoFileSystems, VisitTurn& turn,
                EntryOutcome& outcome);

// The visit of a Check, a Tag or a Retag, for the driver of visits to run on
// any thread: visitEntry, or the file reported unreadable when no read buffer
// could be had. What it refers to must outlive the driver.
VisitFunction entryVisits(const RunOptions& options, const TreeRules& rules,
                          PseudoFileSystems& pseudoFileSystems);

// The number shown in Tag's digest line: a 64-bit hash keyed afresh in every process.
std::int64_t digestHashNumber(const Digest& digest);

} // namespace quelby
