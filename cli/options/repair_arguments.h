#pragma once

// The command-line options of repair, judged.

#include "raw_arguments.h"

#include <optional>
#include <string>

namespace quelby::cli {

// The reason when an option of repair's is given to another command, or
// repair is given no copy to repair from.
std::optional<std::string> repairOptionMisplaced(const RawArguments& raw);

} // namespace quelby::cli
