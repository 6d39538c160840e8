#pragma once

// The wording of repair's report, built whole like every other line. Paths
// arrive escaped (display_text.h).

#include <cstdint>
#include <string>
#include <string_view>

namespace quelby::report {

std::string repairedLine(std::string_view path, std::string_view copy);
std::string wouldRepairLine(std::string_view path, std::string_view copy);
std::string noIntactCopyLine(std::string_view path);
std::string couldntRepairLine(std::string_view path, std::string_view reason);
// A missing file a parity set covers, brought back from the set or a copy.
std::string restoredLine(std::string_view path, std::string_view from);
std::string couldntRestoreLine(std::string_view path, std::string_view reason);
// A file that differs but is not repaired (verbose only).
std::string leftLine(std::string_view path, std::string_view reason);

std::string repairSummary(std::int64_t repaired, std::int64_t toRepair, std::string_view folder,
                          std::int64_t keptDamaged);
std::string dryRunSummary(std::int64_t wouldRepair, std::int64_t toRepair,
                          std::string_view folder);

} // namespace quelby::report
