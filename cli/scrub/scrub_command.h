#pragma once

// quelby-cli scrub and quelby-cli status.

#include "cli/common/environment.h"
#include "cli/options/options.h"

#include <ostream>

namespace quelby::cli {

int runScrub(const CliOptions& options, std::ostream& out, std::ostream& err,
             const CliEnvironment& environment);

int runStatus(const CliOptions& options, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment);

} // namespace quelby::cli
