#pragma once

// quelby-cli status: what the scrubs found, from the scrub's state alone.

#include "cli/common/environment.h"
#include "cli/options/options.h"

#include <ostream>

namespace quelby::cli {

int runStatus(const CliOptions& options, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment);

} // namespace quelby::cli
