#include "window/problem_actions.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/evidence/evidence_location.h"
#include "engine/evidence/parity_format.h"
#include "engine/operations/walk.h"
#include "engine/platform/sys.h"
#include "engine/repair/repair.h"
#include "engine/run/verdict.h"
#include "engine/scrub/problem_closing.h"
#include "engine/text/failure_line.h"
#include "engine/tree/paths.h"
#include "window/window_run_observer.h"

#include <QObject>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>

using quelby::Operation;

namespace {

// What a look at the file now says of its problem.
struct VerdictLook : quelby::RunObserver
{
    VerdictLook(const std::atomic<int>& latest, int generation)
        : latest_(latest), generation_(generation)
    {
    }
    bool stopRequested() override { return latest_.load() != generation_; }
    const std::atomic<int>& latest_;
    const int generation_;
    QString said = QObject::tr("gone");
    void entryDone(const quelby::EntryOutcome& outcome) override
    {
        if (outcome.verdict) {
            said = QString::fromUtf8(quelby::verdictText(*outcome.verdict));
        } else if (outcome.result == quelby::FileResult::matched) {
            said = QObject::tr("matches its digest now");
        } else if (!outcome.error.empty()) {
            said = QString::fromStdString(outcome.error);
        }
    }
};

struct RepairLines : quelby::RepairObserver
{
    KindedText lines;
    quelby::RepairResult result = quelby::RepairResult::none;
    void entryDone(const quelby::RepairedEntry& entry) override
    {
        lines.add(entry.lines, repairLineKind(entry));
        if (!entry.entry.isFolder && entry.result != quelby::RepairResult::none) {
            result = entry.result;
        }
    }
};

} // namespace

QString verdictNow(const OpenProblem& problem, const std::atomic<int>& latest, int generation)
{
    auto options =
        quelby::scrub::problemFileRun(Operation::check, problem.folder, problem.path, false);
    if (!options) {
        return QString::fromStdString(options.error());
    }
    options->explain = true;
    options->details = true;
    VerdictLook look(latest, generation);
    quelby::walkFolder(*options, look);
    return look.said;
}

bool hasParity(const OpenProblem& problem)
{
    const std::string path = quelby::joinedPath(problem.folder, problem.path);
    const std::string folder = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
    auto opened = quelby::sys::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return false;
    }
    const quelby::FileDescriptor folderFd(*opened);
    const auto folderInfo = quelby::sys::fstat(folderFd.get());
    const auto setInfo = quelby::sys::fstatAt(folderFd.get(), quelby::parity::setFileName(1),
                                              AT_SYMLINK_NOFOLLOW);
    return folderInfo && setInfo && S_ISREG(setInfo->st_mode) &&
           quelby::trustedEvidenceFile(*setInfo, *folderInfo);
}

RepairDone repairProblem(const OpenProblem& problem, const std::optional<std::string>& copy,
                         bool dryRun, const std::string& statePath)
{
    using quelby::report::failureLine;
    RepairDone done;
    auto run =
        quelby::scrub::problemFileRun(Operation::check, problem.folder, problem.path, !dryRun);
    if (!run) {
        done.text.add(failureLine(run.error()), LineKind::failure);
        return done;
    }
    quelby::RepairOptions options;
    options.run = std::move(*run);
    if (copy) {
        options.copies = {quelby::normalisedFolder(*copy, "/")};
    }
    options.dryRun = dryRun;
    // The user picked this file to repair: an unknown verdict does not hold it back.
    options.alsoUnknown = true;
    if (auto valid = quelby::validateCopies(options.run.folder, options.copies); !valid) {
        done.text.add(failureLine(valid.error()), LineKind::failure);
        return done;
    }
    RepairLines lines;
    auto state = quelby::repairFolder(options, lines);
    if (!state) {
        done.text.add(failureLine(state.error()), LineKind::failure);
        return done;
    }
    done.text = std::move(lines.lines);
    done.text.add(quelby::whereDigestsAreKept(*options.run.evidence), LineKind::other);
    if (auto kept = options.run.evidence->finish(); !kept) {
        done.text.add(failureLine(kept.error()), LineKind::failure);
    }
    done.text.add(quelby::repairSummaryText(options, *state), LineKind::other);
    if (dryRun && lines.result == quelby::RepairResult::wouldRepair && copy) {
        done.copy = options.copies.front();
    }
    done.wouldRepair = lines.result == quelby::RepairResult::wouldRepair;
    done.repaired = lines.result == quelby::RepairResult::repaired;
    if (done.repaired) {
        done.text.add(quelby::scrub::closeProblemNow(statePath, problem.folder, problem.path),
                      LineKind::failure);
    }
    return done;
}

AcceptDone acceptEdit(const OpenProblem& problem, const std::string& statePath)
{
    AcceptDone done;
    EntryLines lines(Operation::retag);
    auto accepted = quelby::scrub::acceptAsEdited(statePath, problem.folder, problem.path, lines);
    if (!accepted) {
        done.text.add(quelby::report::failureLine(accepted.error()), LineKind::failure);
        return done;
    }
    done.text = std::move(lines.lines);
    done.text.add(runClosingText(accepted->options, accepted->state, {}, accepted->stored));
    done.text.add(accepted->closeFailure, LineKind::failure);
    done.retagged = accepted->retagged;
    return done;
}
