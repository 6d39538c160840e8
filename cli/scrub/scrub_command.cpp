#include "scrub_command.h"

#include "cli/common/command_output.h"
#include "cli/common/json_report.h"
#include "cli/common/run_setup.h"
#include "desktop_notification.h"
#include "engine/read/digest_pool.h"
#include "engine/scrub/due_files.h"
#include "engine/scrub/scrub_session.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/scrub_text.h"
#include "journal.h"
#include "metrics_file.h"
#include "scrub_state_access.h"
#include "service_status.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace quelby::cli {

namespace {

constexpr scrub::Seconds kNotificationRepeat = 7 * scrub::kSecondsPerDay;

class ScrubReporter : public FollowingObserver<scrub::ScrubObserver>
{
public:
    ScrubReporter(RunFollower& follower, bool json, const std::string& folder,
                  ServiceStatus& service)
        : FollowingObserver(follower, json), folder_(folder), service_(service)
    {
    }

    void entryDone(const EntryOutcome& outcome) override
    {
        follower_.report().write(json_ ? jsonEntryLine(outcome) : outcome.lines);
        if (outcome.otherDevice) {
            follower_.sayNotEntered(outcome.path);
        }
        if (outcome.counts.failureCount > 0) {
            journalProblem(scrub::Problem{folder_, outcome.path, outcome.result, outcome.verdict});
        }
        if (outcome.result == FileResult::healed) {
            journalHealed(folder_, outcome.path);
        }
    }

    void paritySetDamaged(const std::string& setPath, bool rebuilt,
                          const std::string& lines) override
    {
        if (json_) {
            Json object;
            addPath(object, "parity", setPath);
            object["result"] = rebuilt ? "rebuilt" : "damaged";
            follower_.report().write(line(object));
        } else {
            follower_.report().write(lines);
        }
    }

    void gone(const std::string& path) override
    {
        if (json_) {
            Json object;
            addPath(object, "path", path);
            object["result"] = "gone";
            follower_.report().write(line(object));
        } else {
            follower_.report().write(report::goneLine(escapedForReport(path)));
        }
        journalGone(scrub::Gone{folder_, path});
    }

    void scrubProgress(std::int64_t verified, std::int64_t due) override
    {
        service_.progress(verified, due, folder_);
    }

private:
    const std::string& folder_;
    ServiceStatus& service_;
};

std::string summaryOutput(const RunOptions& options, const scrub::ScrubResult& result, bool json,
                          double seconds)
{
    if (!json) {
        return result.state.stopped
                   ? stoppedText(options, result.state)
                   : report::scrubSummaryLine(result.summary, escapedForReport(options.folder));
    }
    Json object = jsonSummaryObject(options, result.state, seconds);
    object["operation"] = "scrub";
    object["no_digest"] = result.summary.noDigest;
    object["scrubbed"] = result.summary.verified;
    object["problems"] = result.summary.problems;
    object["files"] = result.summary.withDigest;
    object["without_digest"] = result.summary.noDigest;
    object["verified_in_period"] = result.summary.verifiedInPeriod;
    object["verified_in_period_percent"] = result.summary.percent;
    object["every_days"] = result.summary.everyDays;
    object["gone"] = result.summary.gone;
    object["bytes_read"] = result.summary.bytesRead;
    object["open_problems"] = result.summary.openProblems;
    object["new_tagged"] = result.summary.newTagged;
    return line(object);
}

bool notificationDue(const scrub::FolderSummary& summary, const scrub::FolderRecord& record,
                     scrub::Seconds now)
{
    if (summary.newProblems > 0) {
        return true;
    }
    return summary.openProblems > 0 &&
           (!record.notifiedAt || now - *record.notifiedAt >= kNotificationRepeat);
}

struct ScrubRun
{
    const CliOptions& options;
    std::ostream& out;
    std::ostream& err;
    const CliEnvironment& environment;
    scrub::ScrubSession& session;
    scrub::Allowance& allowance;
    ServiceStatus& service;
    scrub::Seconds now;
    const std::string& statePath;
    bool failures = false;
    bool noDigest = false;

    // The exit status when the command must end here.
    std::optional<int> scrubOne(const RunOptions& runOptions)
    {
        const auto started = environment.now();
        CommandStreams streams(drawsProgress(options, environment), out, err, environment);
        ScrubReporter reporter(streams.follower, options.json, runOptions.folder, service);
        const auto pool = poolForOneWalk(runOptions.jobs);
        auto result = session.scrub(
            scrub::ScrubOptions{runOptions, options.scrubbing.everyDays, now, statePath,
                                options.scrubbing.heal, options.scrubbing.tagNew},
            allowance,
            reporter, pool.get());
        streams.finishProgress();
        streams.report.flush();
        sayWhereDigestsAreKept(runOptions, err);
        if (!result) {
            sayError(err, result.error());
            return kExitUsage;
        }
        const double seconds = std::chrono::duration<double>(environment.now() - started).count();
        const std::string summary =
            summaryOutput(runOptions, result->result, options.json, seconds);
        streams.report.write(summary);
        streams.report.flush();
        if (streams.report.failed()) {
            return statusAfterFailedOutput(out, err);
        }
        const scrub::ScrubResult& scrubbed = result->result;
        scrub::FolderRecord& record = result->record;
        if (scrubbed.state.stopped) {
            // What the stopped run found is kept, so that status shows its problems;
            // its figures cover the files it met.
            (void)session.save(record);
            return 128 + environment.stopSignal();
        }
        service.progress(scrubbed.summary.verified, scrubbed.summary.due, runOptions.folder, true);
        journalSummary(
            scrubbed.summary,
            report::scrubSummaryLine(scrubbed.summary, escapedForReport(runOptions.folder)));
        if (options.scrubbing.notify && notificationDue(scrubbed.summary, record, now)) {
            if (auto sent = notifyDesktop(escapedForReport(runOptions.folder),
                                          scrubbed.summary.openProblems);
                sent) {
                record.notifiedAt = now;
            } else {
                sayError(err, "no desktop notification: " + sent.error());
            }
        }
        if (auto saved = session.save(record); !saved) {
            sayError(err, saved.error());
            return kExitUsage;
        }
        failures = failures || scrubbed.state.failureCount > 0 || scrubbed.state.leftoverCount > 0;
        noDigest = noDigest || scrubbed.summary.noDigest > 0;
        return std::nullopt;
    }
};

} // namespace

int runScrub(const CliOptions& options, std::ostream& out, std::ostream& err,
             const CliEnvironment& environment)
{
    auto exclusions = exclusionsFor(options, err, environment);
    if (!exclusions) {
        return exclusions.error();
    }
    std::vector<RunOptions> runs;
    for (const std::string& typed : options.folders) {
        auto folder = realFolder(typed, err, environment);
        if (!folder) {
            return folder.error();
        }
        CliOptions one = options;
        one.folder = std::move(*folder);
        one.excludeFiles.clear();
        auto runOptions = runOptionsFor(one, err, environment);
        if (!runOptions) {
            return runOptions.error();
        }
        runOptions->exclusions = *exclusions;
        // A folder named twice is scrubbed once.
        if (std::ranges::none_of(
                runs, [&](const RunOptions& run) { return run.folder == runOptions->folder; })) {
            runs.push_back(std::move(*runOptions));
        }
    }
    const auto statePath = scrubStatePath(options, err, environment);
    if (!statePath) {
        return statePath.error();
    }
    std::vector<std::string> folders;
    for (const RunOptions& run : runs) {
        folders.push_back(run.folder);
    }
    auto session = scrub::ScrubSession::begin(*statePath, folders, stateNotices(*statePath, err));
    if (!session) {
        sayError(err, session.error());
        return kExitUsage;
    }
    ServiceStatus service;
    service.ready();
    scrub::Allowance allowance(options.scrubbing.forTime, options.scrubbing.budgetBytes,
                               environment.now);
    ScrubRun scrubRun{options,   out,       err,     environment,
                      *session,  allowance, service, environment.wallSeconds(),
                      *statePath};
    for (const RunOptions& run : runs) {
        if (const auto ended = scrubRun.scrubOne(run)) {
            return *ended;
        }
    }
    int status = scrubRun.failures   ? kExitFailures
                 : scrubRun.noDigest ? kExitNoDigest
                                     : kExitSuccess;
    if (options.scrubbing.metricsFile) {
        auto recorded = session->state().folders();
        auto written =
            recorded ? writeMetricsFile(*options.scrubbing.metricsFile, metricsText(*recorded))
                     : std::expected<void, std::string>(std::unexpect, recorded.error());
        if (!written) {
            sayError(err, written.error());
            status = kExitUsage;
        }
    }
    return status;
}

} // namespace quelby::cli
