#pragma once

// The command line of quelby-cli judged: what was typed, checked command by
// command into the options of one run. Nothing here touches the disk.

#include "options.h"
#include "raw_arguments.h"

namespace quelby::cli {

CommandLine validatedCommandLine(const RawArguments& raw);

} // namespace quelby::cli
