#include "engine/scrub/problem_closing.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/operations/walk.h"
#include "engine/scrub/survey.h"
#include "engine/text/display_text.h"
#include "engine/text/failure_line.h"
#include "engine/tree/folder_stack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace quelby::scrub {

namespace {

// The caller's observer, and what became of the one file.
class ResultFollower : public RunObserver
{
public:
    explicit ResultFollower(RunObserver& caller) : caller_(caller) {}
    bool visitsFile(const EntryToVisit& entry) override { return caller_.visitsFile(entry); }
    void entryDone(const EntryOutcome& outcome) override
    {
        caller_.entryDone(outcome);
        if (!outcome.isFolder && outcome.result != FileResult::none) {
            result = outcome.result;
        }
    }
    void progress(const RunProgress& progress) override { caller_.progress(progress); }
    bool stopRequested() override { return caller_.stopRequested(); }

    FileResult result = FileResult::none;

private:
    RunObserver& caller_;
};

} // namespace

std::expected<void, std::string> closeProblem(ScrubState& state, std::string_view folder,
                                              std::string_view path, const struct stat& file,
                                              Seconds now)
{
    KnownFile known;
    known.size = file.st_size;
    known.modifiedNs = nanoseconds(file.st_mtim);
    known.changedNs = nanoseconds(file.st_ctim);
    known.verifiedAt = now;
    known.result = LastResult::matched;
    if (auto recorded = state.record(folder, path, known, now); !recorded) {
        return recorded;
    }
    auto folders = state.folders();
    if (!folders) {
        return std::unexpected(folders.error());
    }
    const auto record = std::ranges::find(*folders, folder, &FolderRecord::folder);
    if (record == folders->end()) {
        return state.commit();
    }
    auto problems = state.openProblems(folder);
    if (!problems) {
        return std::unexpected(problems.error());
    }
    FolderRecord changed = *record;
    changed.problems = static_cast<std::int64_t>(problems->size());
    return state.saveFolder(changed);
}

std::string closeProblemNow(const std::string& statePath, const std::string& folder,
                            const std::string& path)
{
    struct stat info{};
    const std::string full = joinedPath(folder, path);
    if (::lstat(full.c_str(), &info) != 0) {
        return report::failureLine(escapedForReport(full), std::strerror(errno));
    }
    std::string error;
    auto state = ScrubState::open(statePath, [](const std::string&) {});
    if (state) {
        const auto closed = closeProblem(**state, folder, path, info, std::time(nullptr));
        if (closed) {
            return {};
        }
        error = closed.error();
    } else {
        error = state.error();
    }
    return report::failureLine(escapedForReport(statePath), error);
}

std::expected<RunOptions, std::string>
problemFileRun(Operation operation, const std::string& folder, const std::string& path, bool writes)
{
    RunOptions options = defaultRunOptions(operation, folder);
    options.onlyFile = path;
    options.jobs = 1;
    auto chosen = chooseEvidenceStore(options, StoreChoice::automatic, writes);
    if (!chosen) {
        return std::unexpected(chosen.error().reason);
    }
    options.evidence = std::move(chosen->store);
    options.folderFd = std::move(chosen->folder);
    return options;
}

std::expected<AcceptedEdit, std::string> acceptAsEdited(const std::string& statePath,
                                                        const std::string& folder,
                                                        const std::string& path,
                                                        RunObserver& observer)
{
    auto options = problemFileRun(Operation::retag, folder, path, true);
    if (!options) {
        return std::unexpected(options.error());
    }
    options->timeStamps = true;
    ResultFollower follower(observer);
    AcceptedEdit accepted{std::move(*options), {}, {}, {}, false};
    accepted.state = walkFolder(accepted.options, follower);
    accepted.stored = accepted.options.evidence->finish();
    if (!accepted.stored) {
        ++accepted.state.failureCount;
    }
    accepted.retagged =
        accepted.state.failureCount == 0 &&
        (follower.result == FileResult::retagged || follower.result == FileResult::matched);
    if (accepted.retagged) {
        accepted.closeFailure = closeProblemNow(statePath, folder, path);
    }
    return accepted;
}

} // namespace quelby::scrub
