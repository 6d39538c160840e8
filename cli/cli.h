#pragma once

// One command of quelby-cli from arguments to exit status. run() writes only
// to the streams it is given, so the whole tool can be driven in-process.

#include "cli/common/environment.h"

#include <ostream>
#include <span>
#include <string>

namespace quelby::cli {

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment);

// run() in this process: its working folder, its standard error, its signals.
int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

// Whether what fd leads to lets a progress line be drawn beside it (see outputAllowsProgress).
bool outputAllowsProgress(int fd);

// Makes SIGINT and SIGTERM request a stop, and a closed pipe a write error.
void installSignalHandlers();

} // namespace quelby::cli
