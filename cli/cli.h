#pragma once

// One command of quelby-cli from arguments to exit status. run() writes only
// to the streams it is given, so the whole tool can be driven in-process.

#include "progress_line.h"

#include <cstdint>
#include <ctime>
#include <expected>
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace quelby::cli {

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

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment);

// run() in this process: its working folder, its standard error, its signals.
int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

// Whether what fd leads to lets a progress line be drawn beside it (see outputAllowsProgress).
bool outputAllowsProgress(int fd);

// Makes SIGINT and SIGTERM request a stop, and a closed pipe a write error.
void installSignalHandlers();

} // namespace quelby::cli
