#pragma once

// What only scrub and status take from the command line, judged.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quelby::cli {

struct ScrubCommandOptions
{
    std::int64_t everyDays = 30;
    std::optional<std::chrono::seconds> forTime;
    std::optional<std::int64_t> budgetBytes;
    std::optional<std::string> metricsFile;
    std::optional<std::string> stateFile;
    bool notify = false;
    bool heal = false; // repair damaged files from their folders' parity sets, at once
    bool tagNew = false; // give settled files without a digest one, stamped
};

} // namespace quelby::cli
