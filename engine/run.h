#pragma once

// One run of Check, Tag or Retag over a folder: its fixed options, the state
// its walk fills in, and the observer through which a caller follows and stops
// it. The engine knows no threads: a walk is a plain call.

#include "file_digest.h"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quelby {

enum class Operation
{
    check,
    tag,
    retag
};

// Fixed when a run starts, never changed while it runs.
struct RunOptions
{
    Operation operation = Operation::check;
    std::string folder; // absolute and normalised (normalisedFolder)
    bool verbose = false;
    bool timeStamps = false; // Tag and Retag only
    DigestBackEnd backEnd = DigestBackEnd::current;
    std::int64_t setBufferSize = 1;     // the entry, in its unit, as the summaries print it
    std::int64_t realBufferSize = 1024; // bytes per read
};

// What a walk leaves behind for its summary.
struct RunState
{
    std::string pendingText;
    std::int64_t totalCount = 0;
    std::int64_t matchedCount = 0;
    std::int64_t mismatchedCount = 0; // Check
    std::int64_t noDigestCount = 0;   // Check
    std::int64_t errorCount = 0;      // Tag
    std::int64_t retaggedCount = 0;   // Retag
    std::int64_t firstTagCount = 0;   // Retag
    std::int64_t failureCount = 0;    // every "❌" line or notice the run produced
    std::int64_t bytesRead = 0;
    bool stopped = false; // ended early on a stop request; no summary belongs to it
};

struct RunProgress
{
    std::int64_t filesDone = 0;
    std::int64_t bytesDone = 0;
    std::string_view currentPath; // escaped for display
};

// How a caller follows a walk. Every method is called on the walk's own thread.
class RunObserver
{
public:
    virtual ~RunObserver() = default;
    // A text that must reach the report at once (Tag's notices), one whole line or more.
    virtual void notice(std::string_view) {}
    // Called between reads and between files; keep it cheap.
    virtual void progress(const RunProgress&) {}
    // Checked between files and between reads.
    virtual bool stopRequested() { return false; }
};

// The folder made absolute against workingFolder, with "." components and
// repeated or trailing slashes removed; symbolic links stay as they are.
std::string normalisedFolder(std::string_view folder, std::string_view workingFolder);

// Refuses options the engine cannot run with, in words for the user.
std::expected<void, std::string> validateRunOptions(const RunOptions& options);

// Walks every entry below options.folder, depth first, in byte order of names.
RunState walkFolder(const RunOptions& options, RunObserver& observer);

// The operation's summary, with no final line break.
std::string summaryText(const RunOptions& options, const RunState& state);

// pendingText followed by the summary: what a finished run appends to the report.
std::string finishedRunText(const RunOptions& options, const RunState& state);

} // namespace quelby
