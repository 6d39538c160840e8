#include "repair_command.h"

#include "command_output.h"
#include "engine/digest_pool.h"
#include "engine/display_text.h"
#include "engine/repair/repair.h"
#include "repair_json.h"

#include <chrono>
#include <optional>

namespace quelby::cli {

namespace {

class RepairCliObserver : public RepairObserver
{
public:
    RepairCliObserver(RunFollower& follower, bool json) : follower_(follower), json_(json) {}

    void entryDone(const RepairedEntry& repaired) override
    {
        follower_.report().write(json_ ? repairJsonLine(repaired) : repaired.lines);
        if (repaired.entry.otherDevice) {
            follower_.sayNotEntered(repaired.entry.path);
        }
    }
    void progress(const RunProgress& progress) override { follower_.progress(progress); }
    bool stopRequested() override { return follower_.stopRequested(); }

private:
    RunFollower& follower_;
    bool json_;
};

// FOLDER and every COPY, made absolute; or the exit status of a usage error.
std::expected<RepairOptions, int> repairOptions(const CliOptions& cliOptions, std::ostream& err,
                                                const CliEnvironment& environment)
{
    auto absolute = [&](const std::string& typed) -> std::expected<std::string, int> {
        std::string workingFolder;
        if (!typed.starts_with('/')) {
            if (!environment.workingFolder) {
                sayError(err,
                         "cannot find the working folder: " + environment.workingFolder.error());
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
    };
    RepairOptions options;
    const auto folder = absolute(cliOptions.folder);
    if (!folder) {
        return std::unexpected(folder.error());
    }
    for (const std::string& typed : cliOptions.copies) {
        const auto copy = absolute(typed);
        if (!copy) {
            return std::unexpected(copy.error());
        }
        options.copies.push_back(*copy);
    }
    if (auto valid = validateCopies(*folder, options.copies); !valid) {
        sayError(err, valid.error());
        return std::unexpected(kExitUsage);
    }
    options.dryRun = cliOptions.dryRun;
    options.alsoUnknown = cliOptions.alsoUnknown;
    RunOptions& run = options.run;
    run.folder = *folder;
    run.verbose = cliOptions.verbose;
    run.backEnd = platformDigestBackEnd();
    run.setBufferSize = cliOptions.buffer.setBufferSize;
    run.realBufferSize = cliOptions.buffer.realBufferSize;
    run.oneFileSystem = cliOptions.oneFileSystem;
    run.jobs = cliOptions.jobs != 0 ? cliOptions.jobs : defaultDigestJobs(run.folder);
    std::vector<std::string> patterns = cliOptions.excludePatterns;
    for (const std::string& file : cliOptions.excludeFiles) {
        auto more = patternsFromFile(file);
        if (!more) {
            sayError(err, escapedForReport(file) + ": " + more.error());
            return std::unexpected(kExitUsage);
        }
        patterns.insert(patterns.end(), more->begin(), more->end());
    }
    run.exclusions = Exclusions(patterns);
    if (auto valid = validateRunOptions(run); !valid) {
        sayError(err, valid.error());
        return std::unexpected(kExitUsage);
    }
    return options;
}

} // namespace

int runRepair(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment)
{
    const auto options = repairOptions(cliOptions, err, environment);
    if (!options) {
        return options.error();
    }
    const Clock::time_point started = environment.now();
    std::optional<ProgressLine> progressLine;
    if (environment.errorIsTerminal && !cliOptions.quiet) {
        progressLine.emplace(err, environment.terminalWidth, environment.now());
    }
    ProgressLine* shownProgress = progressLine ? &*progressLine : nullptr;
    ReportWriter report(out, shownProgress, environment);
    RunFollower follower(report, shownProgress, err, environment);
    RepairCliObserver observer(follower, cliOptions.json);

    const auto pool = poolForOneWalk(options->run.jobs);
    const auto state = repairFolder(*options, observer, pool.get());
    if (progressLine) {
        progressLine->finish();
    }
    if (!state) {
        report.flush();
        sayError(err, state.error());
        return kExitUsage;
    }
    const double seconds = std::chrono::duration<double>(environment.now() - started).count();
    if (cliOptions.json) {
        report.write(repairJsonSummary(*options, *state, seconds));
    } else if (state->run.stopped) {
        report.write(stoppedText(options->run, state->run));
    } else {
        report.write(repairSummaryText(*options, *state));
    }
    report.flush();
    if (state->run.stopped && environment.stopSignal() != 0) {
        return 128 + environment.stopSignal();
    }
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    const RepairCounts& counts = state->counts;
    const bool allDone = counts.noCopy == 0 && counts.repairFailed == 0 && counts.leftUnknown == 0;
    const bool nothingLeftOver = state->run.leftoverCount == 0;
    return allDone && nothingLeftOver && state->run.readFailedCount == 0 ? kExitSuccess
                                                                         : kExitFailures;
}

} // namespace quelby::cli
