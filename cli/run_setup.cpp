#include "run_setup.h"

#include "command_output.h"

namespace quelby::cli {

std::expected<Exclusions, int> exclusionsFor(const CliOptions& options, std::ostream& err,
                                             const CliEnvironment& environment)
{
    std::vector<std::string> patterns = options.excludePatterns;
    for (const std::string& file : options.excludeFiles) {
        auto more = patternsFromFile(file, [&environment] { return environment.stopSignal() != 0; });
        if (!more && more.error().stopped) {
            return std::unexpected(128 + environment.stopSignal());
        }
        if (!more) {
            const std::string name = file == "-" ? "standard input" : escapedForReport(file);
            sayError(err, name + ": " + more.error().reason);
            return std::unexpected(kExitUsage);
        }
        patterns.insert(patterns.end(), more->begin(), more->end());
    }
    return Exclusions(patterns);
}

bool drawsProgress(const CliOptions& options, const CliEnvironment& environment)
{
    return environment.errorIsTerminal && !options.quiet &&
           (options.progress || environment.outputAllowsProgress);
}

} // namespace quelby::cli
