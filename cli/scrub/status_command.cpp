#include "status_command.h"

#include "cli/common/command_output.h"
#include "cli/common/json_report.h"
#include "cli/common/run_setup.h"
#include "engine/text/display_text.h"
#include "engine/text/scrub_text.h"
#include "engine/tree/paths.h"
#include "scrub_state_access.h"

#include <algorithm>
#include <ctime>
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
    std::vector<std::string> damagedCopies; // relative, in byte order
};

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
    const std::string problems = std::to_string(status.problems.size()) + " open problems";
    std::string text = folder + ": ";
    if (status.record.lastRun && status.counts) {
        const scrub::FolderCounts& counts = *status.counts;
        text += "last scrubbed " + timeText(*status.record.lastRun) + "; " +
                std::to_string(percentOf(counts)) + "% of its " + std::to_string(filesOf(counts)) +
                " files verified in the last " + std::to_string(status.record.everyDays) +
                " days; " + problems;
        if (counts.withoutDigest > 0) {
            // Retag alone would replace the digests of damaged files too.
            text += "; " + report::withoutDigestText(counts.withoutDigest) +
                    " (quelby-cli retag --times --only-edited " + folder + ")";
        }
    } else {
        text += "no scrub has finished yet; " + problems;
    }
    text += "\n";
    for (const scrub::OpenProblem& problem : status.problems) {
        text += "  ❌ " + escapedForReport(joinedPath(status.record.folder, problem.path)) + ": " +
                std::string(resultName(problem.result)) + " since " + timeText(problem.since) +
                "\n";
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
    for (const scrub::OpenProblem& problem : status.problems) {
        Json entry;
        addPath(entry, "path", joinedPath(status.record.folder, problem.path));
        entry["result"] = resultName(problem.result);
        entry["since"] = problem.since;
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
    auto state = openScrubState(*statePath, err);
    if (!state) {
        return state.error();
    }
    auto folders = (*state)->folders();
    if (!folders) {
        sayError(err, folders.error());
        return kExitUsage;
    }
    // The state's own count, so that status and the Folders view never tell two figures.
    auto counts = (*state)->folderCounts(environment.wallSeconds());
    if (!counts) {
        sayError(err, counts.error());
        return kExitUsage;
    }
    std::string text;
    for (const std::string& folder : named) {
        if (std::ranges::none_of(*folders, [&](const auto& r) { return r.folder == folder; })) {
            Json object;
            object["type"] = "folder";
            addPath(object, "folder", folder);
            object["last_scrubbed"] = nullptr;
            text += options.json ? line(object) : escapedForReport(folder) + ": never scrubbed\n";
        }
    }
    for (scrub::FolderRecord& record : *folders) {
        if (!named.empty() && std::ranges::find(named, record.folder) == named.end()) {
            continue;
        }
        const auto counted =
            std::ranges::find(*counts, record.folder, &scrub::FolderCounts::folder);
        auto status = statusOf(**state, std::move(record),
                               counted != counts->end() ? std::optional(*counted) : std::nullopt);
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
