#include "status_command.h"

#include "cli/common/command_output.h"
#include "cli/common/json_report.h"
#include "cli/common/run_setup.h"
#include "engine/platform/sys.h"
#include "engine/repair/folder_parity.h"
#include "engine/text/display_text.h"
#include "engine/text/scrub_text.h"
#include "engine/tree/paths.h"
#include "scrub_state_access.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <optional>

namespace quelby::cli {

namespace {

std::string_view resultName(scrub::LastResult result)
{
    return result == scrub::LastResult::readFailed ? "read-failed" : "differs";
}

std::string timeText(scrub::Seconds seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

// A folder as status shows it, from what its scrubs left in the state.
struct FolderStatus
{
    scrub::FolderRecord record;
    std::optional<scrub::FolderCounts> counts; // none until a scrub of the folder finished
    std::vector<scrub::OpenProblem> problems;
    std::vector<std::vector<std::string>> nextSteps; // of each problem
    std::vector<std::string> damagedCopies;          // relative, in byte order
};

// The file's folder is looked at on disk for a parity set, only where a repair is a step.
std::vector<std::string> nextStepsOf(const std::string& folder, const scrub::OpenProblem& problem)
{
    const bool readFailed = problem.result == scrub::LastResult::readFailed;
    const bool repairs = !readFailed && problem.verdict != Verdict::edited;
    return report::nextSteps(readFailed, problem.verdict,
                             repairs && hasOwnParity(folder, problem.path), folder);
}

std::expected<FolderStatus, std::string> statusOf(scrub::ScrubState& state,
                                                  scrub::FolderRecord record,
                                                  std::optional<scrub::FolderCounts> counts)
{
    FolderStatus status;
    auto known = state.knownFiles(record.folder);
    if (!known) {
        return std::unexpected(known.error());
    }
    for (const auto& [path, file] : *known) {
        if (file.result == scrub::LastResult::damagedCopy) {
            status.damagedCopies.push_back(path);
        }
    }
    std::ranges::sort(status.damagedCopies);
    auto problems = state.openProblems(record.folder);
    if (!problems) {
        return std::unexpected(problems.error());
    }
    status.problems = std::move(*problems);
    for (const scrub::OpenProblem& problem : status.problems) {
        status.nextSteps.push_back(nextStepsOf(record.folder, problem));
    }
    status.record = std::move(record);
    status.counts = std::move(counts);
    return status;
}

// N, as the scrub's summary counts it: files without a digest too.
std::int64_t filesOf(const scrub::FolderCounts& counts)
{
    return counts.files + counts.withoutDigest;
}

std::int64_t percentOf(const scrub::FolderCounts& counts)
{
    return filesOf(counts) == 0 ? 100 : counts.verifiedInPeriod * 100 / filesOf(counts);
}

std::string statusText(const FolderStatus& status)
{
    const std::string folder = escapedForReport(status.record.folder);
    const std::string problems = report::counted(static_cast<std::int64_t>(status.problems.size()),
                                                 "open problem", "open problems");
    std::string text = folder + ": ";
    if (status.record.lastRun && status.counts) {
        const scrub::FolderCounts& counts = *status.counts;
        text += "last scrubbed " + timeText(*status.record.lastRun) + "; " +
                report::periodText(percentOf(counts), filesOf(counts), status.record.everyDays) +
                "; " + problems;
        if (counts.withoutDigest > 0) {
            // Retag alone would replace the digests of damaged files too.
            text += "; " + report::withoutDigestText(counts.withoutDigest) +
                    " (quelby-cli retag --times --only-edited " + shellWord(status.record.folder) +
                    ")";
        }
    } else {
        text += "no scrub has finished yet; " + problems;
    }
    text += "\n";
    for (std::size_t index = 0; index < status.problems.size(); ++index) {
        const scrub::OpenProblem& problem = status.problems[index];
        text += "  ❌ " + escapedForReport(joinedPath(status.record.folder, problem.path)) + ": " +
                std::string(resultName(problem.result)) +
                (problem.verdict ? " (" + std::string(verdictName(*problem.verdict)) + ")" : "") +
                " since " + timeText(problem.since);
        for (const std::string& step : status.nextSteps[index]) {
            text += "; " + step;
        }
        text += "\n";
    }
    for (const std::string& copy : status.damagedCopies) {
        text += "  ⚠️ Damaged copy kept by repair: " +
                escapedForReport(joinedPath(status.record.folder, copy)) +
                " (delete it once you no longer need it)\n";
    }
    return text;
}

std::string statusJson(const FolderStatus& status)
{
    Json object;
    object["type"] = "folder";
    addPath(object, "folder", status.record.folder);
    object["last_scrubbed"] = status.record.lastRun ? Json(*status.record.lastRun) : Json(nullptr);
    if (status.counts) {
        object["files"] = status.counts->files;
        object["without_digest"] = status.counts->withoutDigest;
        object["verified_in_period"] = status.counts->verifiedInPeriod;
        object["verified_in_period_percent"] = percentOf(*status.counts);
    }
    object["every_days"] = status.record.everyDays;
    Json problems = Json::array();
    for (std::size_t index = 0; index < status.problems.size(); ++index) {
        const scrub::OpenProblem& problem = status.problems[index];
        Json entry;
        addPath(entry, "path", joinedPath(status.record.folder, problem.path));
        entry["result"] = resultName(problem.result);
        entry["verdict"] = problem.verdict ? Json(verdictName(*problem.verdict)) : Json(nullptr);
        entry["since"] = problem.since;
        entry["next_steps"] = status.nextSteps[index];
        problems.push_back(std::move(entry));
    }
    object["open_problems"] = std::move(problems);
    return line(object);
}

} // namespace

int runStatus(const CliOptions& options, std::ostream& out, std::ostream& err,
              const CliEnvironment& environment)
{
    std::vector<std::string> named;
    for (const std::string& typed : options.folders) {
        auto folder = realFolder(typed, err, environment);
        if (!folder) {
            return folder.error();
        }
        named.push_back(std::move(*folder));
    }
    const auto statePath = scrubStatePath(options, err, environment);
    if (!statePath) {
        return statePath.error();
    }
    // Only a scrub makes a state: a state named that is not there is a
    // mistake to hear of, and a missing default one means nothing was scrubbed.
    std::unique_ptr<scrub::ScrubState> state;
    std::vector<scrub::FolderRecord> folders;
    std::vector<scrub::FolderCounts> counts;
    if (const auto there = sys::fstatAt(AT_FDCWD, *statePath, 0);
        !there && there.error().code == ENOENT) {
        if (options.scrubbing.stateFile) {
            sayError(err, "no scrub state at " + escapedForReport(*statePath));
            return kExitUsage;
        }
    } else {
        auto opened = openScrubState(*statePath, err);
        if (!opened) {
            return opened.error();
        }
        state = std::move(*opened);
        auto recorded = state->folders();
        if (!recorded) {
            sayError(err, recorded.error());
            return kExitUsage;
        }
        // The state's own count, so that status and the Folders view never tell two figures.
        auto counted = state->folderCounts(environment.wallSeconds());
        if (!counted) {
            sayError(err, counted.error());
            return kExitUsage;
        }
        folders = std::move(*recorded);
        counts = std::move(*counted);
    }
    std::string text;
    for (const std::string& folder : named) {
        if (std::ranges::none_of(folders, [&](const auto& r) { return r.folder == folder; })) {
            Json object;
            object["type"] = "folder";
            addPath(object, "folder", folder);
            object["last_scrubbed"] = nullptr;
            text += options.json ? line(object) : escapedForReport(folder) + ": never scrubbed\n";
        }
    }
    for (scrub::FolderRecord& record : folders) {
        if (!named.empty() && std::ranges::find(named, record.folder) == named.end()) {
            continue;
        }
        const auto counted = std::ranges::find(counts, record.folder, &scrub::FolderCounts::folder);
        auto status = statusOf(*state, std::move(record),
                               counted != counts.end() ? std::optional(*counted) : std::nullopt);
        if (!status) {
            sayError(err, status.error());
            return kExitUsage;
        }
        text += options.json ? statusJson(*status) : statusText(*status);
    }
    if (text.empty() && !options.json) {
        text = "No folder has been scrubbed yet.\n";
    }
    out << text;
    out.flush();
    return out ? kExitSuccess : statusAfterFailedOutput(out, err);
}

} // namespace quelby::cli
