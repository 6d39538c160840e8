#pragma once

// What a scrub tells the places it shows up in (the report, the journal, the
// service manager, the desktop, the metrics), as plain values.

#include "engine/run/run.h"
#include "engine/run/verdict.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quelby::scrub {

// The fixed journal MESSAGE_IDs; docs/scrub.md lists their fields.
inline constexpr std::string_view kProblemMessageId = "a0b0f32ff1e6400c9432ab57be50b60f";
inline constexpr std::string_view kSummaryMessageId = "65a19df3148944009e5179fbc1e3db97";
inline constexpr std::string_view kGoneMessageId = "943506a29807491f9f7eee3d2eb4239b";
inline constexpr std::string_view kHealedMessageId = "5e0d7c1f2b8a4f6c9a3e61d4b7f08c25";

// A file whose verification gave a "❌" line, or a folder that could not be read.
struct Problem
{
    std::string folder; // absolute, raw bytes
    std::string path;   // absolute, raw bytes, as the report line names it
    FileResult result = FileResult::differs;
    std::optional<Verdict> verdict;
};

// A file the state knew that is no longer there.
struct Gone
{
    std::string folder;
    std::string path; // absolute, raw bytes
};

// One folder's figures after its scrub.
struct FolderSummary
{
    std::string folder;
    std::int64_t due = 0;      // files due when the run began
    std::int64_t verified = 0; // V: files read this run
    std::int64_t problems = 0; // P: "❌" lines this run
    // N: every file the walk met, and those below a folder it could not open
    // (not verified this time); never a damaged copy a repair kept.
    std::int64_t files = 0;
    std::int64_t withDigest = 0; // of N, files with a digest (or not yet looked at)
    std::int64_t noDigest = 0;   // U: of N, files without a digest
    std::int64_t verifiedInPeriod = 0;
    std::int64_t percent = 100;  // Q: of N, verified within the period, rounded down
    std::int64_t everyDays = 30; // E
    std::int64_t gone = 0;
    std::int64_t bytesRead = 0;
    std::int64_t openProblems = 0; // after this run
    std::int64_t newProblems = 0;  // of those, found by this run
    std::int64_t newTagged = 0;    // files without a digest given one (--tag-new)
};

} // namespace quelby::scrub
