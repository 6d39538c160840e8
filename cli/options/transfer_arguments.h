#pragma once

// The command-line options of export and import, judged.

#include "raw_arguments.h"

#include <optional>
#include <string>

namespace quelby::cli {

// The reason when export's --tag is given to another command, or import is
// given an option that chooses among the files of a walk.
std::optional<std::string> transferOptionMisplaced(const RawArguments& raw);

} // namespace quelby::cli
