#include "run_setup.h"

#include "command_output.h"
#include "engine/evidence/evidence_choice.h"
#include "engine/text/display_text.h"

namespace quelby::cli {

std::expected<Exclusions, int> exclusionsFor(const CliOptions& options, std::ostream& err,
                                             const CliEnvironment& environment)
{
    std::vector<std::string> patterns = options.excludePatterns;
    for (const std::string& file : options.excludeFiles) {
        auto more =
            patternsFromFile(file, [&environment] { return environment.stopSignal() != 0; });
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

std::expected<std::string, int> absoluteFolder(const std::string& typed, std::ostream& err,
                                               const CliEnvironment& environment)
{
    std::string workingFolder;
    if (!typed.starts_with('/')) {
        if (!environment.workingFolder) {
            sayError(err, "cannot find the working folder: " + environment.workingFolder.error());
            return std::unexpected(kExitUsage);
        }
        workingFolder = *environment.workingFolder;
    }
    std::string folder = normalisedFolder(typed, workingFolder);
    if (auto problem = folderProblem(typed, folder)) {
        sayError(err, escapedForReport(typed) + ": " + *problem);
        return std::unexpected(kExitUsage);
    }
    return folder;
}

std::expected<RunOptions, int> runOptionsFor(const CliOptions& cliOptions, std::ostream& err,
                                             const CliEnvironment& environment)
{
    auto folder = absoluteFolder(cliOptions.folder, err, environment);
    if (!folder) {
        return std::unexpected(folder.error());
    }
    RunOptions options = defaultRunOptions(cliOptions.operation, std::move(*folder));
    options.verbose = cliOptions.verbose;
    options.timeStamps = cliOptions.timeStamps;
    options.setBufferSize = cliOptions.buffer.setBufferSize;
    options.realBufferSize = cliOptions.buffer.realBufferSize;
    options.explain = cliOptions.explain;
    options.onlyEdited = cliOptions.onlyEdited;
    options.newOnly = cliOptions.newOnly;
    // A dry run of repair is the repair's own; its walk is a Check's.
    options.dryRun = cliOptions.dryRun && cliOptions.operation != Operation::check;
    options.details = cliOptions.json;
    options.oneFileSystem = cliOptions.oneFileSystem;
    if (cliOptions.jobs != 0) {
        options.jobs = cliOptions.jobs;
    }
    if (cliOptions.order) {
        options.order = *cliOptions.order;
    }
    auto exclusions = exclusionsFor(cliOptions, err, environment);
    if (!exclusions) {
        return std::unexpected(exclusions.error());
    }
    options.exclusions = std::move(*exclusions);
    if (auto valid = validateRunOptions(options); !valid) {
        sayError(err, valid.error());
        return std::unexpected(kExitUsage);
    }
    // A dry run takes no lock and never creates a manifest.
    const bool writes =
        (cliOptions.operation != Operation::check || cliOptions.repair) && !cliOptions.dryRun;
    if (auto chosen = chooseEvidenceFor(options, cliOptions.store, writes, err); !chosen) {
        return std::unexpected(chosen.error());
    }
    return options;
}

std::expected<void, int> chooseEvidenceFor(RunOptions& options, StoreChoice choice, bool writes,
                                           std::ostream& err)
{
    auto chosen = chooseEvidenceStore(options, choice, writes);
    if (!chosen) {
        const StoreFailure& failure = chosen.error();
        sayError(err, failure.reason);
        return std::unexpected(failure.busy || failure.unreadableFolder || failure.notTrusted
                                   ? kExitUsage
                                   : kExitFailures);
    }
    if (!chosen->notice.empty()) {
        sayError(err, chosen->notice);
    }
    options.evidence = std::move(chosen->store);
    options.folderFd = std::move(chosen->folder);
    return {};
}

void sayWhereDigestsAreKept(const RunOptions& options, std::ostream& err)
{
    for (const std::string& notice : options.evidence->notices()) {
        sayError(err, notice);
    }
    err << whereDigestsAreKept(*options.evidence);
    err.flush();
}

bool drawsProgress(const CliOptions& options, const CliEnvironment& environment)
{
    return environment.errorIsTerminal && !options.quiet &&
           (options.progress || environment.outputAllowsProgress);
}

} // namespace quelby::cli
