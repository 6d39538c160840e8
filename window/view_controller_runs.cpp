// The main window's runs: each starts on processingQueue with a store chosen
// as the command line's --store auto would, follows its walk through the
// progress line, and ends on the main thread with its report and, for a long
// one, a notification.

#include "engine/evidence/evidence_choice.h"
#include "engine/operations/parity_refresh.h"
#include "engine/operations/walk.h"
#include "engine/store/tag_store.h"
#include "engine/text/parity_text.h"
#include "window/busy_indicator.h"
#include "window/problems_view.h"
#include "window/report_view.h"
#include "window/run_names.h"
#include "window/run_progress.h"
#include "window/view_controller.h"
#include "window/window_run_observer.h"

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <algorithm>

using quelby::Operation;

// Walks keep the window alive until they end: the destructor and closeEvent wait for the pool,
// so `this` is valid for every call made here, and what is still queued when the window goes is
// dropped with it.
template <typename Work> void ViewController::onMainThread(Work work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void ViewController::startRuns(Operation operation, const QStringList& folders)
{
    computeRealBufferSize();
    for (const QString& folder : folders) {
        startRun(operation, QDialog::Accepted, folder);
    }
}

void ViewController::startRuns(Operation operation, const std::vector<std::string>& folderPaths)
{
    computeRealBufferSize();
    for (const std::string& folder : folderPaths) {
        if (!folder.empty()) {
            startRunAt(operation, folder);
        }
    }
}

void ViewController::startRun(Operation operation, int response, const QString& folderPath)
{
    if (response != QDialog::Accepted || folderPath.isEmpty()) {
        return;
    }
    startRunAt(operation, QFile::encodeName(folderPath).toStdString());
}

namespace {

// The sets' own lines, then (after the summary) the count of those touched, as quelby-cli
// prints them.
struct ParityText
{
    KindedText lines;
    std::string summary;
};

ParityText parityText(const std::vector<quelby::ParitySetOutcome>& sets)
{
    using quelby::ParitySetResult;
    ParityText text;
    quelby::report::ParityCounts counts;
    for (const quelby::ParitySetOutcome& set : sets) {
        text.lines.add(set.lines, set.result == ParitySetResult::failed ? LineKind::failure
                                                                        : LineKind::warning);
        counts.written += set.result == ParitySetResult::written ? 1 : 0;
        counts.kept += set.result == ParitySetResult::kept ? 1 : 0;
        counts.left += set.result == ParitySetResult::left ? 1 : 0;
        counts.removed += set.result == ParitySetResult::removed ? 1 : 0;
    }
    text.summary = quelby::report::paritySummary(counts);
    return text;
}

} // namespace

void ViewController::startRunAt(Operation operation, const std::string& folderPath,
                                const quelby::ParityRequest& parity, bool newOnly)
{
    ++runsUnderWay_;
    progressSpinner->show();
    progressSpinner->startAnimation();
    setReportText(KindedText());

    quelby::RunOptions options = quelby::defaultRunOptions(
        operation,
        quelby::normalisedFolder(folderPath, QFile::encodeName(QDir::currentPath()).toStdString()));
    options.verbose = verboseCheckbox->isChecked();
    options.timeStamps = operation != Operation::check && timesCheckbox->isChecked();
    // As check --explain and retag --only-edited: Tag has no earlier digest to judge.
    options.explain = operation == Operation::check && tellEditsCheckbox->isChecked();
    options.newOnly = operation == Operation::tag && newOnly;
    // A parity set asked for or given up touches no digest but an edited file's.
    options.onlyEdited =
        operation == Operation::retag &&
        (tellEditsCheckbox->isChecked() || parity.mode != quelby::ParityRequest::Mode::refresh);
    // Tag and Retag keep each folder's parity sets up to date with the files they
    // prove; a Tag of new files only proves too few to cover a folder with.
    const bool keepsParity = operation != Operation::check && !options.newOnly;
    options.proofs = keepsParity ? quelby::proofsFor(parity) : quelby::Proofs::none;
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    options.evidence = std::make_shared<quelby::AttributeStore>(theXattrName, theTimeXattrName);
    const auto passedOver = chooseStore(options, operation != Operation::check);
    if (!passedOver) {
        return;
    }
    auto stopFlag = beginRun(operation, options.folder);
    latestRunOptions_ = options;
    processingQueue.start([this, options, stopFlag, keepsParity, parity, passedOver = *passedOver] {
        // The run is known to the progress line by its stop flag.
        WindowRunObserver observer(
            options.operation, *stopFlag,
            [this](KindedText notices) {
                onMainThread([this, shown = styledReportText(notices)]() mutable {
                    outputTextbox->appendOnNewLine(std::move(shown));
                });
            },
            [this, run = stopFlag.get()](ProgressFigures figures) {
                onMainThread([this, run, figures = std::move(figures)]() mutable {
                    progressLine->showFigures(run, std::move(figures));
                });
            });

        quelby::ParityCollector collector(observer);
        quelby::RunState state = quelby::walkFolder(
            options, keepsParity ? static_cast<quelby::RunObserver&>(collector) : observer,
            &digestWorkers);
        const auto stored = finishStore(options, state);
        std::vector<quelby::ParitySetOutcome> sets;
        if (keepsParity && !state.stopped) {
            sets = quelby::refreshParity(options, parity, collector,
                                         [&observer] { return observer.stopRequested(); });
        }
        const ParityText setsText = parityText(sets);
        observer.pendingText.add(setsText.lines);
        observer.pendingText.add(runClosingText(options, state, passedOver, stored));
        if (!state.stopped) {
            observer.pendingText.add(setsText.summary, LineKind::other);
        }
        FinishedRun run{options, state, styledReportText(observer.pendingText), stopFlag};
        onMainThread([this, run = std::move(run)]() mutable { finishRun(std::move(run)); });
    });

    runDate = QDateTime::currentDateTimeUtc();
    setWindowTitle(folderName(options.folder));
}

void ViewController::finishRun(FinishedRun run)
{
    outputTextbox->appendOnNewLine(std::move(run.displayText));
    const auto ended = std::ranges::find(runs_, run.stopFlag, &RunUnderWay::stopFlag);
    if (ended != runs_.end()) {
        // Whoever watched the window saw the run end; whoever went elsewhere is told.
        const std::chrono::nanoseconds took(ended->started.nsecsElapsed());
        if (took > longRun && !isActiveWindow()) {
            notifier_->notify(finishedRunText(run.options, run.state));
        }
        runs_.erase(ended);
    }
    progressLine->runEnded(run.stopFlag.get());
    runEnded();
    // A Check may have found a file matching again, or gone.
    problemsView->refresh();
}

std::optional<std::string> ViewController::chooseStore(quelby::RunOptions& options, bool writes)
{
    if (const auto valid = quelby::validateRunOptions(options); !valid) {
        setReportText(KindedText(valid.error()));
        runEnded();
        return std::nullopt;
    }
    // As the command line's --store auto: a manifest where one is found or attributes cannot go.
    auto chosen = quelby::chooseEvidenceStore(options, quelby::StoreChoice::automatic, writes);
    if (!chosen) {
        setReportText(KindedText(chosen.error().reason + "\n"));
        runEnded();
        return std::nullopt;
    }
    options.evidence = std::move(chosen->store);
    options.folderFd = std::move(chosen->folder);
    return chosen->notice;
}

std::shared_ptr<std::atomic<bool>> ViewController::beginRun(quelby::Operation operation,
                                                            const std::string& folder)
{
    auto stopFlag = std::make_shared<std::atomic<bool>>(false);
    runs_.push_back(RunUnderWay{operation, stopFlag, {}});
    runs_.back().started.start();
    progressLine->runStarted(stopFlag.get(), operation, folder);
    actionStop_->setEnabled(true);
    return stopFlag;
}

// The indicator stays while any run is under way, not only the latest.
void ViewController::runEnded()
{
    if (--runsUnderWay_ == 0) {
        progressSpinner->stopAnimation();
        progressSpinner->hide();
        actionStop_->setEnabled(false);
    }
}

void ViewController::stopAllRuns()
{
    stopRuns();
    problemsView->stopLooking();
    // Walks look at their flag between reads, so this is a moment, never the rest of a walk.
    processingQueue.waitForDone();
}
