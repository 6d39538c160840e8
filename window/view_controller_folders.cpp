// The main window's collection: the Folders view in its dock, Add Folder…,
// and Verify now, which runs the engine's scrub on processingQueue with the
// progress line and Stop like any run, and saves the folder's figures as
// quelby-cli scrub does; Keep parity, which is a Retag of the folder that
// touches only edited files' digests and writes or removes its parity sets.

#include "engine/evidence/evidence_choice.h"
#include "engine/scrub/scrub_session.h"
#include "engine/scrub/state/state_file.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "engine/text/failure_line.h"
#include "engine/text/report_text.h"
#include "engine/text/scrub_text.h"
#include "window/busy_indicator.h"
#include "window/folder_chooser.h"
#include "window/folders_view.h"
#include "window/problems_view.h"
#include "window/report_view.h"
#include "window/run_names.h"
#include "window/run_progress.h"
#include "window/user_timers.h"
#include "window/view_controller.h"
#include "window/window_run_observer.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <ctime>

namespace {

// A window run's observer, with the scrub's own news as report lines.
class WindowScrubObserver : public quelby::scrub::ScrubObserver {
public:
    explicit WindowScrubObserver(WindowRunObserver& run) : run_(run) {}

    void entryDone(const quelby::EntryOutcome& outcome) override { run_.entryDone(outcome); }
    void progress(const quelby::RunProgress& progress) override { run_.progress(progress); }
    bool stopRequested() override { return run_.stopRequested(); }
    void gone(const std::string& path) override
    {
        run_.pendingText.add(quelby::report::goneLine(quelby::escapedForReport(path)),
                             LineKind::warning);
    }

private:
    WindowRunObserver& run_;
};

struct ScrubOutcome {
    KindedText text; // as quelby-cli scrub prints it
    quelby::RunState state;
};

// The scrub of one folder, on a walk's thread.
ScrubOutcome scrubText(const quelby::RunOptions& options, std::int64_t everyDays,
                      const std::string& statePath, WindowRunObserver& runObserver,
                      quelby::DigestPool& pool)
{
    using namespace quelby::scrub;
    using quelby::report::failureLine;
    KindedText text;
    const ScrubSession::StateNotices notices{
        [&text, &statePath](const std::string& movedTo) {
            text.add(quelby::report::warningLine(quelby::report::stateMovedAsideText(
                         quelby::escapedForReport(statePath), quelby::escapedForReport(movedTo))),
                     LineKind::warning);
        },
        {}};
    auto session = ScrubSession::begin(statePath, {options.folder}, notices);
    if (!session) {
        text.add(failureLine(session.error()), LineKind::failure);
        return {std::move(text), {}};
    }
    const auto now = static_cast<Seconds>(std::time(nullptr));
    Allowance allowance(std::nullopt, std::nullopt, [] { return std::chrono::steady_clock::now(); });
    WindowScrubObserver observer(runObserver);
    auto scrubbed = session->scrub(ScrubOptions{options, everyDays, now, statePath}, allowance,
                                   observer, &pool);
    text.add(runObserver.pendingText);
    text.add(quelby::whereDigestsAreKept(*options.evidence), LineKind::other);
    if (!scrubbed) {
        text.add(failureLine(scrubbed.error()), LineKind::failure);
        return {std::move(text), {}};
    }
    // A stopped run's findings are kept too, so that its problems show.
    if (auto saved = session->save(scrubbed->record); !saved) {
        text.add(failureLine(saved.error()), LineKind::failure);
    }
    const ScrubResult& result = scrubbed->result;
    text.add(result.state.stopped ? quelby::stoppedText(options, result.state)
                                  : quelby::report::scrubSummaryLine(
                                        result.summary, quelby::escapedForReport(options.folder)),
             LineKind::other);
    return {std::move(text), result.state};
}

} // namespace

void ViewController::createFoldersView()
{
    sessionTimers_ = std::make_unique<SystemdUserTimers>(SystemdUserTimers::forSession());
    foldersView = new FoldersView(*sessionTimers_,
                                  quelby::scrub::defaultStatePath().value_or(std::string()), this);
    foldersView->setObjectName(QStringLiteral("foldersView"));
    auto* dock = new QDockWidget(tr("Collection"), this);
    dock->setObjectName(QStringLiteral("collectionDock"));
    dock->setWidget(foldersView);
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable);
    addDockWidget(Qt::TopDockWidgetArea, dock);
    // A few rows and the controls under them: the report stays the window's main part.
    resizeDocks({dock}, {fontMetrics().height() * 11}, Qt::Vertical);
    if (auto* close = dock->findChild<QAbstractButton*>(QStringLiteral("qt_dockwidget_closebutton"))) {
        close->setToolTip(tr("Hide the collection (View ▸ Show Folders brings it back)"));
    }
    actionShowFolders_->setChecked(true);
    connect(actionShowFolders_, &QAction::toggled, dock, &QDockWidget::setVisible);
    connect(dock, &QDockWidget::visibilityChanged, this, [this, dock] {
        // Hidden with the window, the dock still counts as shown.
        if (isVisible()) {
            actionShowFolders_->setChecked(dock->isVisible());
        }
    });
    connect(foldersView, &FoldersView::verifyRequested, this,
            [this](const QByteArray& folder) { startScrubAt(folder.toStdString()); });
    connect(foldersView, &FoldersView::keepParityRequested, this,
            [this](const QByteArray& folder, int percent) {
                computeRealBufferSize();
                startRunAt(quelby::Operation::retag, folder.toStdString(),
                           {quelby::ParityRequest::Mode::percent, static_cast<unsigned>(percent)});
            });
    connect(foldersView, &FoldersView::dropParityRequested, this, [this](const QByteArray& folder) {
        computeRealBufferSize();
        startRunAt(quelby::Operation::retag, folder.toStdString(),
                   {quelby::ParityRequest::Mode::off, 0});
    });
    connect(foldersView, &FoldersView::addFolderRequested, this,
            &ViewController::chooseFolderToAdd);
    connect(foldersView, &FoldersView::scheduleFailed, this, [this](const QString& reason) {
        appendReportText(
            KindedText(quelby::report::failureLine(reason.toStdString()), LineKind::failure));
    });
}

void ViewController::setScrubStatePath(const std::string& statePath)
{
    foldersView->setStatePath(statePath);
    problemsView->setStatePath(statePath);
}

void ViewController::setUserTimers(UserTimers& timers)
{
    foldersView->setTimers(timers);
}

void ViewController::chooseFolderToAdd()
{
    QFileDialog* chooser = makeFolderChooser(this, FolderChoice::toProtect);
    chooser->setObjectName(QStringLiteral("addFolderChooser"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setLabelText(QFileDialog::Accept, tr("Add"));
    connect(chooser, &QDialog::finished, this, [this, chooser](int response) {
        const QString folder = chooser->selectedFiles().value(0);
        if (response == QDialog::Accepted && !folder.isEmpty()) {
            startScrubAt(QFile::encodeName(folder).toStdString());
        }
    });
    chooser->open();
}

void ViewController::startScrubAt(const std::string& folderPath)
{
    computeRealBufferSize();
    ++runsUnderWay_;
    progressSpinner->show();
    progressSpinner->startAnimation();
    setReportText(KindedText());

    quelby::RunOptions options = quelby::defaultRunOptions(
        quelby::Operation::check,
        quelby::normalisedFolder(folderPath, QFile::encodeName(QDir::currentPath()).toStdString()));
    options.verbose = verboseCheckbox->isChecked();
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    options.evidence = std::make_shared<quelby::AttributeStore>(theXattrName, theTimeXattrName);
    const std::string statePath = foldersView->statePath();
    if (statePath.empty()) {
        setReportText(KindedText(
            quelby::report::failureLine("No place for the scrub state: set HOME or XDG_STATE_HOME"),
            LineKind::failure));
        runEnded();
        return;
    }
    const auto passedOver = chooseStore(options, false);
    if (!passedOver) {
        return;
    }
    auto stopFlag = beginRun(quelby::Operation::check, options.folder);
    const std::int64_t everyDays = foldersView->selectedFolder() == options.folder
                                       ? foldersView->periodDays()
                                       : 30;
    processingQueue.start([this, options, stopFlag, everyDays, statePath,
                           passedOver = *passedOver] {
        WindowRunObserver observer(
            quelby::Operation::check, *stopFlag, [](KindedText) {},
            [this, run = stopFlag.get()](ProgressFigures figures) {
                QMetaObject::invokeMethod(
                    this,
                    [this, run, figures = std::move(figures)]() mutable {
                        progressLine->showFigures(run, std::move(figures));
                    },
                    Qt::QueuedConnection);
            });
        ScrubOutcome outcome = scrubText(options, everyDays, statePath, observer, digestWorkers);
        KindedText shown(passedOver.empty() ? std::string() : passedOver + "\n");
        shown.add(outcome.text);
        FinishedRun run{options, outcome.state, styledReportText(shown), stopFlag};
        // As every run's hand-back: the window waits for its walks, so this is valid.
        QMetaObject::invokeMethod(
            this,
            [this, run = std::move(run), folder = options.folder]() mutable {
                finishRun(std::move(run)); // reads the state again, the folders' included
                foldersView->selectFolder(folder);
                // What a scrub finds is not left for the user to go looking for.
                if (problemsView->problemCount() > 0) {
                    problemsDock->show();
                }
            },
            Qt::QueuedConnection);
    });
    runDate = QDateTime::currentDateTimeUtc();
    setWindowTitle(folderName(options.folder));
}
