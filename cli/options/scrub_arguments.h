#pragma once

// The command-line options only scrub and status take, judged.

#include "raw_arguments.h"
#include "scrub_options.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quelby::cli {

// "30": a whole number of days from 1.
std::expected<std::int64_t, std::string> parsedDays(std::string_view text);
// "90s", "45m", "2h", "1d": a whole number from 1 and its unit.
std::expected<std::chrono::seconds, std::string> parsedDuration(std::string_view text);
// "20G": a whole number from 1 and K, M, G or T (powers of 1,024).
std::expected<std::int64_t, std::string> parsedSize(std::string_view text);

// The reason when an option is given to a command it does not apply to.
std::optional<std::string> scrubOptionMisplaced(const RawArguments& raw, bool scrub, bool status);

// The scrub settings raw gives; the reason when one is invalid.
std::expected<ScrubCommandOptions, std::string> parsedScrubOptions(const RawArguments& raw);

} // namespace quelby::cli
