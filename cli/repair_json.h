#pragma once

// Repair's report as JSON Lines: each file in the shape of the other
// commands' objects (json_report.h), with repair's own "result" and the
// "copy" used or found; then a summary with repair's counts beside the walk's.

#include "engine/repair/repair.h"

#include <string>

namespace quelby::cli {

// The line of one entry, with its line feed; empty when it has none.
std::string repairJsonLine(const RepairedEntry& repaired);

// A missing file brought back, or not, after the walk.
std::string restoredJsonLine(const RestoredFile& restored);

// The summary's line, with its line feed.
std::string repairJsonSummary(const RepairOptions& options, const RepairState& state,
                              double seconds);

} // namespace quelby::cli
