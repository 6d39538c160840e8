#pragma once

// The report's wording. Every line is built whole here, from fixed pieces
// and values, so that the CLI and the window show the same bytes. Paths and
// stored texts arrive already escaped (display_text.h).

#include "engine/run/run.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quelby::report {

// Check
std::string noDigestLine(std::string_view path, std::string_view timeText); // N
std::string noDigestBareLine(std::string_view path);                        // E
std::string matchedLine(std::string_view path, std::string_view timeText);  // M
// With an explanation (edit or damage), the line says it before its full stop.
std::string differsLine(std::string_view path, std::string_view timeText,
                        std::string_view explanation = {});                           // D
std::string differsPlainLine(std::string_view path, std::string_view explanation = {}); // P
// After the summary of a Check that explains its differences.
std::string verdictsLine(const RunCounts& counts);

// Tag
std::string digestLine(std::int64_t hash, std::string_view path);
std::string couldntTagNotice(std::string_view path, std::string_view reason);

// Retag
std::string digestsLine(std::string_view path);    // M
std::string taggedLine(std::string_view path);     // T
std::string retaggedLine(std::string_view path);   // R
std::string couldntTagLine(std::string_view path, std::string_view reason); // X
// Retag that rewrites only edited files: a differing digest kept as evidence.
std::string keptLine(std::string_view path, std::string_view explanation);

// A dry run of Tag or Retag: in place of the line of each file the run would write.
std::string wouldTagLine(std::string_view path);
std::string wouldRetagLine(std::string_view path);
std::string wouldDropMissingLine(std::string_view path);
// Its summary, with no final line break.
std::string wouldWriteSummary(Operation operation, const RunCounts& counts,
                              std::string_view folder);
// Tag and Retag, once after the run, for standard error.
std::string replacedDigestsWarning(std::int64_t replaced);

// Every operation: a file or folder whose contents or digest could not be read.
std::string couldntReadLine(std::string_view path, std::string_view reason);

// Evidence kept in a manifest: a listed file that is gone.
std::string missingLine(std::string_view path);        // Check
std::string droppedMissingLine(std::string_view path); // Tag and Retag
// Every operation: what a repair left in the folder, named whatever the verbosity.
std::string leftoverLine(std::string_view path);
std::string damagedCopyLine(std::string_view path);

// A stopped run, in place of its summary.
std::string stoppedLine(std::int64_t done, std::string_view folder);

std::string checkSummary(const RunState& state, std::string_view folder, bool verbose,
                         std::int64_t setBufferSize, std::int64_t realBufferSize);
std::string tagSummary(const RunState& state, std::string_view folder, bool verbose,
                       std::int64_t setBufferSize);
std::string retagSummary(const RunState& state, std::string_view folder, bool verbose,
                         std::int64_t setBufferSize, std::int64_t realBufferSize);

} // namespace quelby::report

namespace quelby {

// The operation's summary, with no final line break.
std::string summaryText(const RunOptions& options, const RunState& state);

// What a stopped run shows in place of its summary, with its line break.
std::string stoppedText(const RunOptions& options, const RunState& state);

} // namespace quelby
