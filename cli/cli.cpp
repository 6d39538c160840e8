#include "cli.h"

#include "cli/common/command_output.h"
#include "cli/common/json_report.h"
#include "cli/common/run_setup.h"
#include "cli/options/command_line.h"
#include "cli/options/help_text.h"
#include "cli/scrub/scrub_command.h"
#include "cli/scrub/status_command.h"
#include "engine/operations/walk.h"
#include "engine/operations/parity_refresh.h"
#include "engine/read/digest_pool.h"
#include "engine/text/display_text.h"
#include "engine/text/parity_text.h"
#include "engine/text/report_text.h"
#include "repair_command.h"
#include "transfer_command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <sys/stat.h>

#ifndef QUELBY_VERSION
#error "QUELBY_VERSION must name the project's version"
#endif

namespace quelby::cli {

namespace {

class CliObserver : public FollowingObserver<RunObserver>
{
public:
    using FollowingObserver::FollowingObserver;

    // A Tag notice stands at its file's place, after that file's line.
    void entryDone(const EntryOutcome& outcome) override
    {
        if (json_) {
            follower_.report().write(jsonEntryLine(outcome));
        } else {
            follower_.report().write(outcome.lines);
            follower_.report().write(outcome.notices);
        }
        if (outcome.otherDevice) {
            follower_.sayNotEntered(outcome.path);
        }
    }
};

// What follows the last file: the summary, or the Stopped line of a run that
// was stopped, which keeps what it found but is no finished run.
std::string closingText(const RunOptions& options, const RunState& state, bool json,
                        double seconds)
{
    if (json) {
        return jsonSummaryLine(options, state, seconds);
    }
    if (state.stopped) {
        return stoppedText(options, state);
    }
    std::string text = summaryText(options, state) + "\n";
    if (options.explain) {
        text += report::verdictsLine(state);
    }
    return text;
}

int runWalk(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
            const CliEnvironment& environment)
{
    auto runOptions = runOptionsFor(cliOptions, err, environment);
    if (!runOptions) {
        return runOptions.error();
    }
    // Tag and Retag keep each folder's parity sets up to date with the files they prove;
    // a run that reads only new files proves too few, and a dry run writes no set.
    const bool keepsParity =
        runOptions->operation != Operation::check && !runOptions->newOnly && !runOptions->dryRun;
    runOptions->proofs = keepsParity ? proofsFor(cliOptions.parity) : Proofs::none;
    const RunOptions& options = *runOptions;
    const std::string& folder = options.folder;
    const Clock::time_point started = environment.now();

    CommandStreams streams(drawsProgress(cliOptions, environment), out, err, environment);
    ReportWriter& report = streams.report;
    CliObserver observer(streams.follower, cliOptions.json);
    ParityCollector collector(observer);

    const auto pool = poolForOneWalk(options.jobs);
    const RunState state =
        walkFolder(options, keepsParity ? static_cast<RunObserver&>(collector) : observer,
                   pool.get());

    const auto kept = options.evidence->finish();
    std::vector<ParitySetOutcome> sets;
    if (keepsParity && !state.stopped) {
        sets = refreshParity(options, cliOptions.parity, collector,
                             [&observer] { return observer.stopRequested(); });
    }
    streams.finishProgress();
    report::ParityCounts parity;
    bool parityFailed = false;
    for (const ParitySetOutcome& set : sets) {
        report.write(cliOptions.json ? jsonParityLine(set) : set.lines);
        parity.written += set.result == ParitySetResult::written ? 1 : 0;
        parity.kept += set.result == ParitySetResult::kept ? 1 : 0;
        parity.left += set.result == ParitySetResult::left ? 1 : 0;
        parity.removed += set.result == ParitySetResult::removed ? 1 : 0;
        parityFailed = parityFailed || set.result == ParitySetResult::failed;
    }
    report.flush();
    sayWhereDigestsAreKept(options, err);
    if (!kept) {
        sayError(err, kept.error());
    }
    report.write(closingText(options, state, cliOptions.json,
                             std::chrono::duration<double>(environment.now() - started).count()));
    if (!cliOptions.json && !state.stopped) {
        report.write(report::paritySummary(parity));
    }
    report.flush();
    // A store that could not keep what the run wrote replaced nothing.
    if (state.replacedCount > 0 && kept) {
        sayError(err, report::replacedDigestsWarning(state.replacedCount));
    }
    if (options.operation == Operation::check && state.unsupportedCount > 0) {
        const bool one = state.unsupportedCount == 1;
        sayError(err, escapedForReport(folder) + ": " + std::to_string(state.unsupportedCount) +
                          (one ? " file has no digest because its file system does not keep "
                               : " files have no digest because their file system does not keep ") +
                          "extended attributes");
    }
    if (state.stopped && environment.stopSignal() != 0) {
        return 128 + environment.stopSignal();
    }
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    if (state.failureCount > 0 || state.leftoverCount > 0 || !kept || parityFailed) {
        return kExitFailures;
    }
    return options.operation == Operation::check && state.noDigestCount > 0 ? kExitNoDigest
                                                                            : kExitSuccess;
}

} // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment)
{
    const CommandLine commandLine = validatedCommandLine(rawArguments(args));
    if (const auto* usage = std::get_if<UsageError>(&commandLine)) {
        sayError(err, usage->message + " (see " + std::string(kProgramName) + " --help)");
        return kExitUsage;
    }
    if (std::holds_alternative<ShowHelp>(commandLine) ||
        std::holds_alternative<ShowVersion>(commandLine)) {
        out << (std::holds_alternative<ShowHelp>(commandLine)
                    ? helpText()
                    : std::string(kProgramName) + " " + QUELBY_VERSION + "\n");
        out.flush();
        return out ? kExitSuccess : statusAfterFailedOutput(out, err);
    }
    const auto& options = std::get<CliOptions>(commandLine);
    if (options.repair) {
        return runRepair(options, out, err, environment);
    }
    if (options.exportDigests) {
        return runExport(options, out, err, environment);
    }
    if (options.importDigests) {
        return runImport(options, out, err, environment);
    }
    if (options.scrub) {
        return runScrub(options, out, err, environment);
    }
    if (options.status) {
        return runStatus(options, out, err, environment);
    }
    return runWalk(options, out, err, environment);
}

} // namespace quelby::cli
