#include "window/problem_actions.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/operations/walk.h"
#include "engine/repair/folder_parity.h"
#include "engine/repair/repair.h"
#include "engine/run/verdict.h"
#include "engine/scrub/problem_closing.h"
#include "engine/text/failure_line.h"
#include "engine/tree/paths.h"
#include "window/window_run_observer.h"

#include <QObject>

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
    std::optional<quelby::Verdict> verdict;
    void entryDone(const quelby::EntryOutcome& outcome) override
    {
        verdict = outcome.verdict;
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

VerdictLooked verdictNow(const OpenProblem& problem, const std::atomic<int>& latest, int generation)
{
    auto options =
        quelby::scrub::problemFileRun(Operation::check, problem.folder, problem.path, false);
    if (!options) {
        return {QString::fromStdString(options.error()), std::nullopt};
    }
    options->explain = true;
    options->details = true;
    VerdictLook look(latest, generation);
    quelby::walkFolder(*options, look);
    return {look.said, look.verdict};
}

QString nextStepText(const OpenProblem& problem, std::optional<quelby::Verdict> verdict,
                     bool hasParity)
{
    using quelby::Verdict;
    if (problem.result == quelby::scrub::LastResult::readFailed) {
        return QObject::tr("Find out why it cannot be read");
    }
    const QString repair = hasParity ? QObject::tr("Repair") : QObject::tr("Repair from a copy");
    switch (verdict.value_or(Verdict::unknown)) {
    case Verdict::damaged:
        return repair;
    case Verdict::edited:
        return QObject::tr("Accept as edited");
    case Verdict::unknown:
        break;
    }
    return QObject::tr("%1, or accept as edited").arg(repair);
}

bool hasParity(const OpenProblem& problem)
{
    return quelby::hasOwnParity(problem.folder, problem.path);
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
