#pragma once

// The wording of parity sets in Tag's, Retag's, repair's and the scrub's
// reports. Paths arrive escaped (display_text.h).

#include <cstdint>
#include <string>
#include <string_view>

namespace quelby::report {

// In a folder with a set: a digest that differs without an edit stays.
std::string keptForParityLine(std::string_view path, std::string_view folder);
// A set is never rebuilt from damaged bytes.
std::string parityLeftLine(std::string_view folder, std::string_view damagedPath);
// A set that could not be written or removed; the old one, if any, stays.
std::string parityFailedLine(std::string_view set, std::string_view reason);

// The scrub with --heal: a damaged file rebuilt from its folder's set.
std::string healedLine(std::string_view path);

// The scrub's look at a folder's set.
std::string parityDamagedLine(std::string_view folder);
std::string parityRebuiltLine(std::string_view folder);

struct ParityCounts
{
    std::int64_t written = 0;
    std::int64_t kept = 0;
    std::int64_t left = 0;
    std::int64_t removed = 0;
};
// After Tag's or Retag's summary when any set was touched; empty otherwise.
std::string paritySummary(const ParityCounts& counts);

} // namespace quelby::report
