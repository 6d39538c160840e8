#include "window/view_controller.h"
#include "window/problems_view.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/evidence/tag_store.h"
#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/read/file_digest.h"
#include "engine/text/display_text.h"
#include "window/buffer_size.h"
#include "window/busy_indicator.h"
#include "window/drop_menu.h"
#include "window/folders_view.h"
#include "window/report_export.h"
#include "window/report_view.h"
#include "window/run_names.h"
#include "window/run_progress.h"
#include "window/user_settings.h"
#include "window/user_timers.h"
#include "window/window_run_observer.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QSettings>

#include <algorithm>
#include <cmath>

using quelby::Operation;

namespace {

constexpr int kMostConcurrentRuns = 8;

} // namespace

ViewController::ViewController(QWidget* parent)
    : QMainWindow(parent),
      theXattrName(quelby::kDigestAttributeName),
      theTimeXattrName(quelby::kTimeAttributeName)
{
    processingQueue.setMaxThreadCount(kMostConcurrentRuns);
    createActions();
    createMenus();
    createControls();
    createFoldersView();
    createProblemsView();
    describeControls();
    loadSettings();
    setWindowTitle(tr("Quelby Integrity Check"));
    setAcceptDrops(true);
}

ViewController::~ViewController()
{
    stopAllRuns();
}

// Walks keep the window alive until they end: the destructor and closeEvent wait for the pool,
// so `this` is valid for every call made here, and what is still queued when the window goes is
// dropped with it.
template <typename Work> void ViewController::onMainThread(Work work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void ViewController::loadSettings()
{
    namespace keys = windowSettings;
    const auto settings = openUserSettings();
    sizePopup->clear();
    sizePopup->addItems(sizeList);
    const int units = settings->value(keys::sizeUnits.key, keys::sizeUnits.absentValue).toInt();
    sizePopup->setCurrentIndex(std::clamp(units, 0, static_cast<int>(sizeList.size()) - 1));
    const QString bufferEntry =
        settings->value(keys::bufferSize.key, keys::bufferSize.absentValue).toString();
    bufferTextbox->setText(isRefusedBufferEntry(bufferEntry, bufferTextbox->locale())
                               ? keys::bufferSize.absentValue.toString()
                               : bufferEntry);
    acceptedBufferEntry_ = bufferTextbox->text();
    setBufferSize = ::computeRealBufferSize(bufferTextbox->text(), sizePopup->currentIndex(),
                                            bufferTextbox->locale())
                        .setBufferSize;
    // A size Larger and Smaller could not step back from (NaN, infinity) reads as absent too.
    const double fontSize =
        settings->value(keys::fontSize.key, keys::fontSize.absentValue).toDouble();
    theFontSize = std::isfinite(fontSize) && fontSize >= kSmallestFontSize &&
                          fontSize <= kLargestFontSize
                      ? fontSize
                      : kDefaultFontSize;
    outputTextbox->setPointSize(theFontSize);
    verboseCheckbox->setChecked(
        settings->value(keys::verbose.key, keys::verbose.absentValue).toBool());
    timesCheckbox->setChecked(settings->value(keys::times.key, keys::times.absentValue).toBool());
    tellEditsCheckbox->setChecked(
        settings->value(keys::tellEditsFromDamage.key, keys::tellEditsFromDamage.absentValue)
            .toBool());
    actionShowProblemsOnly_->setChecked(
        settings->value(keys::showProblemsOnly.key, keys::showProblemsOnly.absentValue).toBool());
}

void ViewController::saveSettings()
{
    namespace keys = windowSettings;
    const auto settings = openUserSettings();
    const QString bufferEntry =
        isRefusedBufferEntry(bufferTextbox->text(), bufferTextbox->locale())
            ? acceptedBufferEntry_
            : bufferTextbox->text();
    settings->setValue(keys::bufferSize.key,
                       storedBufferEntry(bufferEntry, bufferTextbox->locale()));
    settings->setValue(keys::sizeUnits.key, sizePopup->currentIndex());
    settings->setValue(keys::verbose.key, verboseCheckbox->isChecked());
    settings->setValue(keys::times.key, timesCheckbox->isChecked());
    settings->setValue(keys::tellEditsFromDamage.key, tellEditsCheckbox->isChecked());
    settings->setValue(keys::showProblemsOnly.key, actionShowProblemsOnly_->isChecked());
    settings->sync();
}

void ViewController::computeRealBufferSize()
{
    const BufferSize size = ::computeRealBufferSize(
        bufferTextbox->text(), sizePopup->currentIndex(), bufferTextbox->locale());
    setBufferSize = size.setBufferSize;
    realBufferSize = size.realBufferSize;
}

void ViewController::checkButton()
{
    chooseFolder(Operation::check);
}

void ViewController::hashButton()
{
    chooseFolder(Operation::tag);
}

void ViewController::retagButton()
{
    chooseFolder(Operation::retag);
}

void ViewController::chooseFolder(Operation operation)
{
    computeRealBufferSize();
    auto* chooser = new QFileDialog(this);
    chooser->setObjectName(QStringLiteral("folderChooser"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly, true);
    // A desktop's own dialog may ignore the hidden filter, and hidden folders are tagged too.
    chooser->setOption(QFileDialog::DontUseNativeDialog, true);
    chooser->setFilter(QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot);
    chooser->setLabelText(QFileDialog::Accept, operationName(operation));
    if (const auto selected = foldersView->selectedFolder()) {
        chooser->setDirectory(QFile::decodeName(QByteArray::fromStdString(*selected)));
    }
    connect(chooser, &QDialog::finished, this, [this, chooser, operation](int response) {
        startRun(operation, response, chooser->selectedFiles().value(0));
    });
    chooser->open();
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

void ViewController::startRunAt(Operation operation, const std::string& folderPath)
{
    ++runsUnderWay_;
    progressSpinner->show();
    progressSpinner->startAnimation();
    setReportText("");

    quelby::RunOptions options = quelby::defaultRunOptions(
        operation,
        quelby::normalisedFolder(folderPath, QFile::encodeName(QDir::currentPath()).toStdString()));
    options.verbose = verboseCheckbox->isChecked();
    options.timeStamps = operation != Operation::check && timesCheckbox->isChecked();
    // As check --explain and retag --only-edited: Tag has no earlier digest to judge.
    options.explain = operation == Operation::check && tellEditsCheckbox->isChecked();
    options.onlyEdited = operation == Operation::retag && tellEditsCheckbox->isChecked();
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    options.evidence = std::make_shared<quelby::AttributeStore>(theXattrName, theTimeXattrName);
    const auto passedOver = chooseStore(options, operation != Operation::check);
    if (!passedOver) {
        return;
    }
    auto stopFlag = beginRun(operation, options.folder);
    processingQueue.start([this, options, stopFlag, passedOver = *passedOver] {
        // The run is known to the progress line by its stop flag.
        WindowRunObserver observer(
            *stopFlag,
            [this](std::string notices) {
                onMainThread([this, shown = styledReportText(notices)]() mutable {
                    outputTextbox->appendOnNewLine(std::move(shown));
                });
            },
            [this, run = stopFlag.get()](ProgressFigures figures) {
                onMainThread([this, run, figures = std::move(figures)]() mutable {
                    progressLine->showFigures(run, std::move(figures));
                });
            });

        quelby::RunState state = quelby::walkFolder(options, observer, &digestWorkers);
        const std::string closing = runClosingText(options, state, passedOver);
        FinishedRun run{options, state, {}, stopFlag};
        run.displayText = styledReportText(observer.pendingText + closing);
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
        setReportText(valid.error());
        runEnded();
        return std::nullopt;
    }
    // As the command line's --store auto: a manifest where one is found or attributes cannot go.
    auto chosen =
        quelby::chooseEvidenceStore(options, quelby::StoreChoice::automatic, writes);
    if (!chosen) {
        setReportText(chosen.error().reason + "\n");
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

std::string ViewController::styledReportText(std::string_view reportText)
{
    return quelby::withInvalidUtf8Escaped(reportText);
}

void ViewController::setReportText(std::string_view reportText)
{
    outputTextbox->setText(styledReportText(reportText));
}

void ViewController::appendReportText(std::string_view reportText)
{
    outputTextbox->appendText(styledReportText(reportText));
}

void ViewController::incFontSize()
{
    changeFontSize(std::min(theFontSize + 1.0, kLargestFontSize));
}

void ViewController::decFontSize()
{
    changeFontSize(std::max(theFontSize - 1.0, kSmallestFontSize));
}

void ViewController::changeFontSize(double size)
{
    theFontSize = size;
    openUserSettings()->setValue(windowSettings::fontSize.key, theFontSize);
    renderReport();
}

void ViewController::renderReport()
{
    outputTextbox->setPointSize(theFontSize);
}

void ViewController::showProblemsOnly(bool problemsOnly)
{
    outputTextbox->setProblemsOnly(problemsOnly);
    openUserSettings()->setValue(windowSettings::showProblemsOnly.key, problemsOnly);
}

void ViewController::exportText()
{
    const QByteArray contents =
        exportedText(outputTextbox->utf8Text(), runDate, outputTextbox->problemsOnly());
    auto* dialog = new QFileDialog(this, tr("Export Report"));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(tr("Text (*.text *.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("text"));
    dialog->selectFile(exportFileName(runDate));
    connect(dialog, &QFileDialog::fileSelected, this, [this, contents](const QString& path) {
        if (const auto written = writeExport(path, contents); !written) {
            alerts_->run(Alert{Alert::Style::critical, tr("An error occurred:"), written.error(),
                               {tr("OK")}});
        }
    });
    dialog->show();
}

void ViewController::doCloseQuit()
{
    close();
}

void ViewController::closeEvent(QCloseEvent* event)
{
    // A stopped Tag or Retag leaves digests on disk that its report, gone with the window, no
    // longer lists; a Check can be run again at no cost.
    if (taggingUnderWay()) {
        const Alert question{Alert::Style::informational,
                             tr("Runs are under way. Stop them and quit?"),
                             {},
                             {tr("Cancel"), tr("Quit")}};
        if (alerts_->run(question) != 1) {
            event->ignore();
            return;
        }
    }
    saveSettings();
    stopAllRuns();
    event->accept();
    QCoreApplication::quit();
}

void ViewController::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedFolders(*event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void ViewController::dropEvent(QDropEvent* event)
{
    const QStringList folders = droppedFolders(*event->mimeData());
    if (folders.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    openDropMenu(this, mapToGlobal(event->position().toPoint()),
                 [this, folders](Operation operation) { startRuns(operation, folders); });
}

bool ViewController::taggingUnderWay() const
{
    return std::ranges::any_of(runs_, [](const RunUnderWay& run) {
        return run.operation != Operation::check;
    });
}

void ViewController::stopRuns()
{
    for (const auto& run : runs_) {
        run.stopFlag->store(true, std::memory_order_relaxed);
    }
}

void ViewController::stopAllRuns()
{
    stopRuns();
    problemsView->stopLooking();
    // Walks look at their flag between reads, so this is a moment, never the rest of a walk.
    processingQueue.waitForDone();
}
