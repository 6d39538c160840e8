#pragma once

// What a command of quelby-cli takes from the process around it, and the exit
// statuses it ends with. Tests hand a command an environment of their own.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <expected>
#include <functional>
#include <string>

namespace quelby::cli {

using Clock = std::chrono::steady_clock;

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailures = 1; // the report holds a failure
inline constexpr int kExitUsage = 2;    // a usage error, or FOLDER is not a folder
inline constexpr int kExitNoDigest = 3;  // check: no failure, but files without a digest

// What run() takes from the process around it.
struct CliEnvironment
{
    // Where a relative FOLDER starts, or why it is unknown.
    std::expected<std::string, std::string> workingFolder;
    bool errorIsTerminal = false;
    // Standard output is a terminal, a regular file or /dev/null: nothing that
    // another program could write to the terminal between two progress lines.
    bool outputAllowsProgress = true;
    std::function<int()> terminalWidth = [] { return 80; };
    // The signal that asked the run to stop (SIGINT, SIGTERM), 0 while none did.
    std::function<int()> stopSignal = [] { return 0; };
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    // The time of day in seconds since the epoch, as a scrub's state records it.
    std::function<std::int64_t()> wallSeconds = [] {
        return static_cast<std::int64_t>(std::time(nullptr));
    };
};

} // namespace quelby::cli
