#include "repair_command.h"

#include "cli/common/command_output.h"
#include "cli/common/run_setup.h"
#include "engine/read/digest_pool.h"
#include "engine/repair/repair.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "repair_json.h"

#include <chrono>
#include <optional>

namespace quelby::cli {

namespace {

class RepairCliObserver : public FollowingObserver<RepairObserver>
{
public:
    using FollowingObserver::FollowingObserver;

    void entryDone(const RepairedEntry& repaired) override
    {
        follower_.report().write(json_ ? repairJsonLine(repaired) : repaired.lines);
        if (repaired.entry.otherDevice) {
            follower_.sayNotEntered(repaired.entry.path);
        }
    }

    void fileRestored(const RestoredFile& restored) override
    {
        follower_.report().write(json_ ? restoredJsonLine(restored) : restored.lines);
    }
};

// FOLDER and every COPY, made absolute; or the exit status of a usage error.
std::expected<RepairOptions, int> repairOptions(const CliOptions& cliOptions, std::ostream& err,
                                                const CliEnvironment& environment)
{
    auto run = runOptionsFor(cliOptions, err, environment);
    if (!run) {
        return std::unexpected(run.error());
    }
    RepairOptions options;
    options.run = std::move(*run);
    for (const std::string& typed : cliOptions.copies) {
        const auto copy = absoluteFolder(typed, err, environment);
        if (!copy) {
            return std::unexpected(copy.error());
        }
        options.copies.push_back(*copy);
    }
    if (auto valid = validateCopies(options.run.folder, options.copies); !valid) {
        sayError(err, valid.error());
        return std::unexpected(kExitUsage);
    }
    options.dryRun = cliOptions.dryRun;
    options.alsoUnknown = cliOptions.alsoUnknown;
    options.restoreMissing = cliOptions.restoreMissing;
    if (cliOptions.paritySet) {
        const std::string& typed = *cliOptions.paritySet;
        if (!typed.starts_with('/') && !environment.workingFolder) {
            sayError(err, "cannot find the working folder: " + environment.workingFolder.error());
            return std::unexpected(kExitUsage);
        }
        options.paritySet =
            normalisedFolder(typed, typed.starts_with('/') ? std::string() : *environment.workingFolder);
        if (auto valid = validateParitySet(options.run.folder, *options.paritySet); !valid) {
            sayError(err, valid.error());
            return std::unexpected(kExitUsage);
        }
    } else if (options.copies.empty() && !hasParityBelow(options.run.folder)) {
        sayError(err, "no parity set below " + escapedForReport(options.run.folder) +
                          "; give --from COPY");
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
    CommandStreams streams(drawsProgress(cliOptions, environment), out, err, environment);
    ReportWriter& report = streams.report;
    RepairCliObserver observer(streams.follower, cliOptions.json);

    const auto pool = poolForOneWalk(options->run.jobs);
    const auto state = repairFolder(*options, observer, pool.get());
    streams.finishProgress();
    if (!state) {
        report.flush();
        sayError(err, state.error());
        return kExitUsage;
    }
    const auto kept = options->run.evidence->finish();
    report.flush();
    sayWhereDigestsAreKept(options->run, err);
    if (!kept) {
        sayError(err, kept.error());
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
    const bool allDone = counts.noCopy == 0 && counts.repairFailed == 0 &&
                         counts.leftUnknown == 0 && counts.restoreFailed == 0;
    const bool nothingLeftOver = state->run.leftoverCount == 0;
    return allDone && nothingLeftOver && state->run.readFailedCount == 0 && kept
               ? kExitSuccess
               : kExitFailures;
}

} // namespace quelby::cli
