#pragma once

// quelby-cli export and import: digests out of a folder's evidence store as
// a list sha256sum reads, and such a list back in.

#include "cli/common/environment.h"
#include "cli/options/options.h"

#include <ostream>

namespace quelby::cli {

// Run validated options of export or import; return the exit status.
int runExport(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment);
int runImport(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment);

} // namespace quelby::cli
