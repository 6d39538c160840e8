#include "scrub_arguments.h"

#include <charconv>
#include <limits>
#include <tuple>
#include <utility>

namespace quelby::cli {

namespace {

constexpr std::int64_t kMostDays = 36500;
// Ten years: longer than any run could last, and far from where the clock's
// nanoseconds would overflow when added to the time the run starts.
constexpr std::int64_t kMostDurationDays = 3650;

// The whole number text starts with, and the rest; none when there is no digit.
// A number too large to hold reads as the largest, which every limit refuses.
std::optional<std::pair<std::int64_t, std::string_view>> leadingNumber(std::string_view text)
{
    if (text.empty() || text.front() == '-' || text.front() == '+') {
        return std::nullopt;
    }
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc::result_out_of_range) {
        number = std::numeric_limits<std::int64_t>::max();
    } else if (error != std::errc{}) {
        return std::nullopt;
    }
    return std::pair{number, text.substr(static_cast<std::size_t>(end - text.data()))};
}

std::optional<std::int64_t> scaled(std::int64_t number, std::int64_t unit)
{
    if (number < 1 || number > std::numeric_limits<std::int64_t>::max() / unit) {
        return std::nullopt;
    }
    return number * unit;
}

} // namespace

std::expected<std::int64_t, std::string> parsedDays(std::string_view text)
{
    const auto number = leadingNumber(text);
    if (!number || !number->second.empty() || number->first < 1 || number->first > kMostDays) {
        return std::unexpected("invalid number of days " + quotedArgument(text) +
                               ": give a whole number from 1 to " + std::to_string(kMostDays));
    }
    return number->first;
}

std::expected<std::chrono::seconds, std::string> parsedDuration(std::string_view text)
{
    const std::string invalid = "invalid duration " + quotedArgument(text) +
                                ": give a whole number with s, m, h or d, such as 45m or 2h";
    const auto number = leadingNumber(text);
    if (!number || number->second.size() != 1) {
        return std::unexpected(invalid);
    }
    const char unit = number->second.front();
    const std::int64_t unitSeconds = unit == 's'   ? 1
                                     : unit == 'm' ? 60
                                     : unit == 'h' ? 3600
                                     : unit == 'd' ? 86400
                                                   : 0;
    if (unitSeconds == 0) {
        return std::unexpected(invalid);
    }
    const auto seconds = scaled(number->first, unitSeconds);
    if (number->first >= 1 && (!seconds || *seconds > kMostDurationDays * 86400)) {
        return std::unexpected("invalid duration " + quotedArgument(text) + ": give at most " +
                               std::to_string(kMostDurationDays) + "d (10 years)");
    }
    if (!seconds) {
        return std::unexpected(invalid);
    }
    return std::chrono::seconds(*seconds);
}

std::expected<std::int64_t, std::string> parsedSize(std::string_view text)
{
    const std::string invalid = "invalid size " + quotedArgument(text) +
                                ": give a whole number with K, M, G or T, such as 20G";
    const auto number = leadingNumber(text);
    if (!number || number->second.size() != 1) {
        return std::unexpected(invalid);
    }
    const char unit = number->second.front();
    const std::int64_t unitBytes = unit == 'K' || unit == 'k'   ? std::int64_t{1} << 10
                                   : unit == 'M' || unit == 'm' ? std::int64_t{1} << 20
                                   : unit == 'G' || unit == 'g' ? std::int64_t{1} << 30
                                   : unit == 'T' || unit == 't' ? std::int64_t{1} << 40
                                                                : 0;
    if (unitBytes == 0) {
        return std::unexpected(invalid);
    }
    const auto bytes = scaled(number->first, unitBytes);
    if (!bytes) {
        return std::unexpected(invalid);
    }
    return *bytes;
}

std::optional<std::string> scrubOptionMisplaced(const RawArguments& raw, bool scrub, bool status)
{
    const std::string command = raw.command.value_or("");
    for (const auto& [given, name, statusToo] :
         {std::tuple{raw.every.has_value(), "--every", false},
          std::tuple{raw.forTime.has_value(), "--for", false},
          std::tuple{raw.budget.has_value(), "--budget", false},
          std::tuple{raw.metrics.has_value(), "--metrics", false},
          std::tuple{raw.notify, "--notify", false},
          std::tuple{raw.heal, "--heal", false},
          std::tuple{raw.tagNew, "--tag-new", false},
          std::tuple{raw.state.has_value(), "--state", true}}) {
        if (given && !scrub && !(status && statusToo)) {
            return std::string(name) + " applies to scrub" + (statusToo ? " and status" : "") +
                   ", not to " + command;
        }
    }
    if (!status) {
        return std::nullopt;
    }
    for (const auto& [given, name] :
         {std::pair{raw.verbose, "--verbose"}, std::pair{raw.quiet, "--quiet"},
          std::pair{raw.progress, "--progress"}, std::pair{raw.explain, "--explain"},
          std::pair{raw.buffer.has_value(), "--buffer"},
          std::pair{!raw.excludePatterns.empty(), "--exclude"},
          std::pair{!raw.excludeFiles.empty(), "--exclude-from"},
          std::pair{raw.oneFileSystem, "--one-file-system"},
          std::pair{raw.jobs.has_value(), "--jobs"}, std::pair{raw.store.has_value(), "--store"}}) {
        if (given) {
            return std::string(name) + " does not apply to status";
        }
    }
    return std::nullopt;
}

std::expected<ScrubCommandOptions, std::string> parsedScrubOptions(const RawArguments& raw)
{
    ScrubCommandOptions options;
    if (raw.every) {
        auto days = parsedDays(*raw.every);
        if (!days) {
            return std::unexpected(days.error());
        }
        options.everyDays = *days;
    }
    if (raw.forTime) {
        auto duration = parsedDuration(*raw.forTime);
        if (!duration) {
            return std::unexpected(duration.error());
        }
        options.forTime = *duration;
    }
    if (raw.budget) {
        auto bytes = parsedSize(*raw.budget);
        if (!bytes) {
            return std::unexpected(bytes.error());
        }
        options.budgetBytes = *bytes;
    }
    options.metricsFile = raw.metrics;
    options.stateFile = raw.state;
    options.notify = raw.notify;
    options.heal = raw.heal;
    options.tagNew = raw.tagNew;
    return options;
}

} // namespace quelby::cli
