#include "transfer_arguments.h"

#include <utility>

namespace quelby::cli {

std::optional<std::string> transferOptionMisplaced(const RawArguments& raw)
{
    const std::string command = raw.command.value_or("");
    if (raw.bsdTag && command != "export") {
        return "--tag applies to export, not to " + command;
    }
    if (command != "import") {
        return std::nullopt;
    }
    // Import opens the files its list names one after another: there is no
    // walk to narrow or to share among jobs.
    for (const auto& [given, name] : {std::pair{!raw.excludePatterns.empty(), "--exclude"},
                                      std::pair{!raw.excludeFiles.empty(), "--exclude-from"},
                                      std::pair{raw.oneFileSystem, "--one-file-system"},
                                      std::pair{raw.jobs.has_value(), "--jobs"}}) {
        if (given) {
            return std::string(name) + " does not apply to import";
        }
    }
    return std::nullopt;
}

} // namespace quelby::cli
