#include "transfer_command.h"

#include "cli/common/command_output.h"
#include "cli/common/json_report.h"
#include "cli/common/run_setup.h"
#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/transfer_text.h"
#include "engine/transfer/export.h"
#include "engine/transfer/import.h"
#include "engine/tree/list_file.h"

#include <chrono>
#include <optional>

namespace quelby::cli {

namespace {

// A list to import may be large (every file of a drive), but not unbounded.
constexpr std::size_t kLargestList = std::size_t{1} << 30;

// Text for standard error while a progress line may stand there.
void sayOnError(std::ostream& err, ProgressLine* progressLine, std::string_view text)
{
    if (progressLine) {
        progressLine->erase();
    }
    err << text;
    err.flush();
    if (progressLine) {
        progressLine->restore();
    }
}

// The list goes to standard output; what is not a digest (a file that could
// not be read, a repair's leftover) to standard error, out of the list's way.
class ExportObserver : public FollowingObserver<RunObserver>
{
public:
    ExportObserver(RunFollower& follower, bool json, ExportForm form, const std::string& folder,
                   std::ostream& err, ProgressLine* progressLine)
        : FollowingObserver(follower, json), form_(form), folder_(folder), err_(err),
          progressLine_(progressLine)
    {
    }

    void entryDone(const EntryOutcome& outcome) override
    {
        if (outcome.otherDevice) {
            follower_.sayNotEntered(outcome.path);
        }
        if (outcome.result == FileResult::missing) {
            return; // export lists what exists; Check names the missing
        }
        if (outcome.result == FileResult::matched && outcome.stored) {
            const auto path = pathBelow(folder_, outcome.path);
            const auto line = !path  ? std::nullopt
                              : json_ ? std::optional(jsonExportLine(*path, *outcome.stored))
                                      : exportedLine(*path, *outcome.stored, form_);
            if (line) {
                follower_.report().write(*line);
                ++exported_;
            }
            return;
        }
        if (!outcome.lines.empty() || !outcome.notices.empty()) {
            sayOnError(err_, progressLine_, outcome.lines + outcome.notices);
        }
        if (outcome.counts.failureCount > 0 || outcome.counts.leftoverCount > 0) {
            failed_ = true;
        }
    }

    std::int64_t exported() const { return exported_; }
    bool failed() const { return failed_; }

private:
    ExportForm form_;
    const std::string& folder_;
    std::ostream& err_;
    ProgressLine* progressLine_;
    std::int64_t exported_ = 0;
    bool failed_ = false;
};

class ImportCliObserver : public ImportObserver
{
public:
    ImportCliObserver(RunFollower& follower, bool json) : follower_(follower), json_(json) {}

    void lineDone(const ImportOutcome& outcome) override
    {
        follower_.report().write(json_ ? jsonImportLine(outcome) : outcome.lines);
        ++done_;
        follower_.progress(RunProgress{done_, bytes_, {}});
    }
    void bytesRead(std::int64_t total) override
    {
        bytes_ = total;
        follower_.progress(RunProgress{done_, bytes_, {}});
    }
    bool stopRequested() override { return follower_.stopRequested(); }

    std::int64_t done() const { return done_; }

private:
    RunFollower& follower_;
    bool json_;
    std::int64_t done_ = 0;
    std::int64_t bytes_ = 0;
};

} // namespace

int runExport(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment)
{
    auto runOptions = runOptionsFor(cliOptions, err, environment);
    if (!runOptions) {
        return runOptions.error();
    }
    RunOptions& options = *runOptions;
    options.readsContents = false;
    CommandStreams streams(drawsProgress(cliOptions, environment), out, err, environment);
    ReportWriter& report = streams.report;
    ProgressLine* shownProgress = streams.progressLine.get();
    ExportObserver observer(streams.follower, cliOptions.json,
                            cliOptions.bsdTag ? ExportForm::bsd : ExportForm::gnu, options.folder,
                            err, shownProgress);

    const auto pool = poolForOneWalk(options.jobs);
    const RunState state = walkFolder(options, observer, pool.get());
    streams.finishProgress();
    report.flush();
    sayWhereDigestsAreKept(options, err);
    if (state.stopped) {
        err << report::stoppedLine(state.totalCount, escapedForReport(options.folder));
    } else {
        err << report::exportSummary(observer.exported(), escapedForReport(options.folder),
                                     state.noDigestCount)
            << "\n";
    }
    err.flush();
    if (state.stopped && environment.stopSignal() != 0) {
        return 128 + environment.stopSignal();
    }
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    if (observer.failed()) {
        return kExitFailures;
    }
    return state.noDigestCount > 0 ? kExitNoDigest : kExitSuccess;
}

int runImport(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment)
{
    const std::string listName =
        cliOptions.sums == "-" ? "standard input" : escapedForReport(cliOptions.sums);
    const auto list = readListFile(cliOptions.sums, kLargestList,
                                   [&environment] { return environment.stopSignal() != 0; });
    if (!list && list.error().stopped) {
        return 128 + environment.stopSignal();
    }
    if (!list) {
        sayError(err, listName + ": " + list.error().reason);
        return kExitUsage;
    }
    auto runOptions = runOptionsFor(cliOptions, err, environment);
    if (!runOptions) {
        return runOptions.error();
    }
    const RunOptions& run = *runOptions;
    ImportOptions options;
    options.folder = run.folder;
    options.listName = listName;
    options.timeStamps = cliOptions.timeStamps;
    options.verbose = cliOptions.verbose;
    options.bufferSize = run.realBufferSize;
    options.backEnd = run.backEnd;
    options.order = run.order;
    options.evidence = run.evidence;
    options.folderFd = run.folderFd;
    const Clock::time_point started = environment.now();

    CommandStreams streams(drawsProgress(cliOptions, environment), out, err, environment);
    ReportWriter& report = streams.report;
    ImportCliObserver observer(streams.follower, cliOptions.json);
    const ImportState state = importDigests(options, *list, observer);
    streams.finishProgress();
    report.flush();
    sayWhereDigestsAreKept(run, err);
    if (state.finishError) {
        sayError(err, *state.finishError);
    }
    const std::string folder = escapedForReport(run.folder);
    if (cliOptions.json) {
        const double seconds = std::chrono::duration<double>(environment.now() - started).count();
        report.write(jsonImportSummary(run.folder, *run.evidence, state, seconds));
    } else if (state.stopped) {
        report.write(report::stoppedLine(observer.done(), folder));
    } else {
        report.write(report::importSummary(state.importedCount, state.listedCount, folder) + "\n");
    }
    report.flush();
    if (state.stopped && environment.stopSignal() != 0) {
        return 128 + environment.stopSignal();
    }
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    return state.importedCount == state.listedCount && !state.finishError && !state.stopped
               ? kExitSuccess
               : kExitFailures;
}

} // namespace quelby::cli
