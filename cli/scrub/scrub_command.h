#pragma once

// quelby-cli scrub: the due files of each folder checked within one allowance,
// and what was found recorded in the scrub's state.

#include "cli/common/environment.h"
#include "cli/options/options.h"

#include <ostream>

namespace quelby::cli {

int runScrub(const CliOptions& options, std::ostream& out, std::ostream& err,
             const CliEnvironment& environment);

} // namespace quelby::cli
