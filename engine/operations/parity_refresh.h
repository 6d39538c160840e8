#pragma once

// After a Tag or a Retag: each folder's parity sets brought up to date with
// the files the walk proved. A folder is covered by the regular files whose
// bytes the walk read and found equal to the digest stored or written; a
// folder where a covered file was found damaged keeps its old sets as they
// are. Sets are written whole under new names and renamed into place, under
// the folder's writer lock, and only where the folder's evidence files are
// trusted.

#include "engine/read/file_digest.h"
#include "engine/run/run.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelby {

// What the run asks of the sets below its folder.
struct ParityRequest
{
    enum class Mode
    {
        refresh, // folders that have a set, each with its own percentage
        percent, // every folder with regular files, with this percentage
        off      // the sets below the folder removed
    };
    Mode mode = Mode::refresh;
    unsigned percent = 0;
};

enum class ParitySetResult
{
    written,
    kept,    // already covered exactly these files
    left,    // a covered file is damaged: the old set stays
    removed,
    failed   // could not be written or removed; the old set, if any, stays
};

struct ParitySetOutcome
{
    std::string path; // the set's raw path
    ParitySetResult result = ParitySetResult::written;
    std::string damagedPath; // left: the damaged file's raw path
    std::string reason;      // failed
    std::string lines;       // its report text; empty for written, kept and removed
};

// Follows a walk for another observer and notes, per folder, the files the
// walk proved and whether one of them was found damaged.
class ParityCollector : public RunObserver
{
public:
    explicit ParityCollector(RunObserver& inner) : inner_(inner) {}

    bool visitsFile(const EntryToVisit& entry) override { return inner_.visitsFile(entry); }
    void entryDone(const EntryOutcome& outcome) override;
    void progress(const RunProgress& progress) override { inner_.progress(progress); }
    bool stopRequested() override { return inner_.stopRequested(); }

    struct Proven
    {
        std::string name;
        Digest digest;
        dev_t device = 0;
        ino_t inode = 0;
        std::optional<std::string> stamp;
    };
    struct Folder
    {
        std::vector<Proven> files;
        std::optional<std::string> damaged; // the first damaged file's raw path
    };
    // By the folder's raw path.
    const std::map<std::string, Folder>& folders() const { return folders_; }

private:
    RunObserver& inner_;
    std::map<std::string, Folder> folders_;
};

// What a walk must keep of the files it proves for the collector, for the
// sets the request asks for.
Proofs proofsFor(const ParityRequest& request);

// Brings the sets of every folder the collector saw up to date. The run's
// evidence store must have finished: the sets take the lock its manifest held.
std::vector<ParitySetOutcome> refreshParity(const RunOptions& run, const ParityRequest& request,
                                            const ParityCollector& collector,
                                            const std::function<bool()>& stop);

// A folder's sets as they are on disk: intact, damaged (a packet that fails
// its MD5, or fewer recovery slices than its percentage asks), or none.
enum class SetCondition
{
    none,   // no set of Quelby's, or one not trusted
    intact,
    damaged
};
SetCondition setCondition(int folder);

// Writes the folder's sets anew from the files they record that still have
// the recorded bytes (each proven by its SHA-256 as it is read), with their
// own percentage: the sets of a folder whose sets are damaged.
ParitySetOutcome rewriteParity(int root, const std::string& runFolder,
                               const std::string& folderPath, const std::function<bool()>& stop);

// The result's name in JSON output.
std::string_view paritySetResultName(ParitySetResult result);

} // namespace quelby
