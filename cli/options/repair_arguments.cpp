#include "repair_arguments.h"

#include <utility>

namespace quelby::cli {

std::optional<std::string> repairOptionMisplaced(const RawArguments& raw)
{
    const std::string command = raw.command.value_or("");
    const bool repair = command == "repair";
    if (raw.dryRun && !repair && command != "tag" && command != "retag") {
        return "--dry-run applies to repair, tag and retag, not to " + command;
    }
    for (const auto& [given, name] :
         {std::pair{!raw.copies.empty(), "--from"}, std::pair{raw.alsoUnknown, "--also-unknown"},
          std::pair{raw.restoreMissing, "--restore-missing"}}) {
        if (given && !repair) {
            return std::string(name) + " applies to repair, not to " + command;
        }
    }
    return std::nullopt;
}

} // namespace quelby::cli
