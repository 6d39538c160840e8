#pragma once

// quelby-cli repair: the command-line side of the engine's repair.

#include "cli/common/environment.h"
#include "cli/options/options.h"

#include <ostream>

namespace quelby::cli {

// Runs validated repair options; returns the exit status.
int runRepair(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment);

} // namespace quelby::cli
