#include "window/view_controller.h"

#include "engine/display_text.h"
#include "engine/file_digest.h"
#include "engine/tag_store.h"
#include "window/buffer_size.h"
#include "window/busy_indicator.h"
#include "window/report_export.h"
#include "window/report_view.h"
#include "window/user_settings.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using quelby::Operation;

namespace {

constexpr int kMostConcurrentRuns = 8;

QString confirmTitle(Operation operation)
{
    switch (operation) {
    case Operation::check:
        return QObject::tr("Check");
    case Operation::tag:
        return QObject::tr("Tag");
    case Operation::retag:
        return QObject::tr("Retag");
    }
    return {};
}

// The name a window title shows for a folder: its last component, or "/" for the root.
QString folderName(const std::string& folder)
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(folder));
    const QString name = path.section(QLatin1Char('/'), -1);
    return name.isEmpty() ? QStringLiteral("/") : name;
}

} // namespace

// What a walk hands back to the window: its fixed options, its state and the display-ready text
// of a finished run, made on the walk's own thread so the main thread only shows it.
struct ViewController::FinishedRun {
    quelby::RunOptions options;
    bool stopped = false;
    std::string displayText;
    std::shared_ptr<std::atomic<bool>> stopFlag;
};

ViewController::ViewController(QWidget* parent)
    : QMainWindow(parent),
      theXattrName(quelby::kDigestAttributeName),
      theTimeXattrName(quelby::kTimeAttributeName)
{
    processingQueue.setMaxThreadCount(kMostConcurrentRuns);
    createActions();
    createMenus();
    createControls();
    loadSettings();
    setWindowTitle(tr("Quelby Integrity Check"));
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

void ViewController::createActions()
{
    const auto makeAction = [this](const QString& text, const char* name,
                                   const QKeySequence& shortcut) {
        auto* action = new QAction(text, this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(shortcut);
        return action;
    };
    actionCheck = makeAction(tr("&Check…"), "actionCheck", {});
    actionTag = makeAction(tr("&Tag…"), "actionTag", {});
    actionRetag = makeAction(tr("&Retag…"), "actionRetag", {});
    actionExport = makeAction(tr("&Export…"), "actionExport", QKeySequence(tr("Ctrl+S")));
    actionQuit = makeAction(tr("&Quit"), "actionQuit", QKeySequence(tr("Ctrl+Q")));
    actionCopy = makeAction(tr("&Copy"), "actionCopy", QKeySequence::Copy);
    actionSelectAll = makeAction(tr("Select &All"), "actionSelectAll", QKeySequence::SelectAll);
    actionLarger = makeAction(tr("&Larger"), "actionLarger", QKeySequence::ZoomIn);
    actionSmaller = makeAction(tr("&Smaller"), "actionSmaller", QKeySequence::ZoomOut);
    // The report view takes copy and select-all itself while it has the focus.
    actionCopy->setShortcutContext(Qt::WidgetShortcut);
    actionSelectAll->setShortcutContext(Qt::WidgetShortcut);

    connect(actionCheck, &QAction::triggered, this, &ViewController::checkButton);
    connect(actionTag, &QAction::triggered, this, &ViewController::hashButton);
    connect(actionRetag, &QAction::triggered, this, &ViewController::retagButton);
    connect(actionExport, &QAction::triggered, this, &ViewController::exportText);
    connect(actionQuit, &QAction::triggered, this, &ViewController::doCloseQuit);
    connect(actionLarger, &QAction::triggered, this, &ViewController::incFontSize);
    connect(actionSmaller, &QAction::triggered, this, &ViewController::decFontSize);
}

void ViewController::createMenus()
{
    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(actionExport);
    fileMenu->addSeparator();
    fileMenu->addAction(actionQuit);

    QMenu* editMenu = menuBar()->addMenu(tr("&Edit"));
    editMenu->addAction(actionCopy);
    editMenu->addAction(actionSelectAll);

    QMenu* viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->addAction(actionLarger);
    viewMenu->addAction(actionSmaller);

    QMenu* folderMenu = menuBar()->addMenu(tr("F&older"));
    folderMenu->addAction(actionCheck);
    folderMenu->addAction(actionTag);
    folderMenu->addAction(actionRetag);
}

void ViewController::createControls()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* options = new QHBoxLayout;
    auto* bufferLabel = new QLabel(tr("&Buffer size:"), central);
    bufferTextbox = new QLineEdit(central);
    bufferTextbox->setObjectName(QStringLiteral("bufferTextbox"));
    bufferTextbox->setAccessibleName(tr("Buffer size"));
    bufferTextbox->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0")) * 10);
    bufferTextbox->setAlignment(Qt::AlignRight);
    bufferLabel->setBuddy(bufferTextbox);
    sizePopup = new QComboBox(central);
    sizePopup->setObjectName(QStringLiteral("sizePopup"));
    sizePopup->setAccessibleName(tr("Buffer size unit"));
    verboseCheckbox = new QCheckBox(tr("&Verbose"), central);
    verboseCheckbox->setObjectName(QStringLiteral("verboseCheckbox"));
    verboseCheckbox->setAccessibleName(tr("Verbose"));
    timesCheckbox = new QCheckBox(tr("Time &stamps"), central);
    timesCheckbox->setObjectName(QStringLiteral("timesCheckbox"));
    timesCheckbox->setAccessibleName(tr("Time stamps"));
    progressSpinner = new BusyIndicator(central);
    progressSpinner->setObjectName(QStringLiteral("progressSpinner"));
    progressSpinner->hide();

    options->addWidget(bufferLabel);
    options->addWidget(bufferTextbox);
    options->addWidget(sizePopup);
    options->addSpacing(12);
    options->addWidget(verboseCheckbox);
    options->addWidget(timesCheckbox);
    options->addStretch(1);
    options->addWidget(progressSpinner);

    const struct {
        QAction* action;
        const char* name;
        QString text;
    } buttons[] = {{actionCheck, "checkButton", tr("&Check")},
                   {actionTag, "hashButton", tr("&Tag")},
                   {actionRetag, "retagButton", tr("&Retag")}};
    for (const auto& button : buttons) {
        auto* push = new QPushButton(button.text, central);
        push->setObjectName(QString::fromLatin1(button.name));
        push->setAccessibleName(QString(button.text).remove(QLatin1Char('&')));
        connect(push, &QPushButton::clicked, button.action, &QAction::trigger);
        options->addWidget(push);
    }
    layout->addLayout(options);

    outputTextbox = new ReportView(central);
    outputTextbox->setObjectName(QStringLiteral("outputTextbox"));
    outputTextbox->setAccessibleName(tr("Report"));
    outputTextbox->addAction(actionCopy);
    outputTextbox->addAction(actionSelectAll);
    connect(actionCopy, &QAction::triggered, outputTextbox, &ReportView::copy);
    connect(actionSelectAll, &QAction::triggered, outputTextbox, &ReportView::selectAll);
    layout->addWidget(outputTextbox, 1);

    setCentralWidget(central);
    resize(860, 560);
}

void ViewController::loadSettings()
{
    namespace keys = windowSettings;
    const auto settings = openUserSettings();
    sizePopup->clear();
    sizePopup->addItems(sizeList);
    const int units = settings->value(keys::sizeUnits.key, keys::sizeUnits.absentValue).toInt();
    sizePopup->setCurrentIndex(std::clamp(units, 0, static_cast<int>(sizeList.size()) - 1));
    bufferTextbox->setText(
        settings->value(keys::bufferSize.key, keys::bufferSize.absentValue).toString());
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
}

void ViewController::saveSettings()
{
    namespace keys = windowSettings;
    const auto settings = openUserSettings();
    settings->setValue(keys::bufferSize.key,
                       storedBufferEntry(bufferTextbox->text(), bufferTextbox->locale()));
    settings->setValue(keys::sizeUnits.key, sizePopup->currentIndex());
    settings->setValue(keys::verbose.key, verboseCheckbox->isChecked());
    settings->setValue(keys::times.key, timesCheckbox->isChecked());
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
    chooser->setLabelText(QFileDialog::Accept, confirmTitle(operation));
    connect(chooser, &QDialog::finished, this, [this, chooser, operation](int response) {
        startRun(operation, response, chooser->selectedFiles().value(0));
    });
    chooser->open();
}

void ViewController::startRun(Operation operation, int response, const QString& folderPath)
{
    if (response != QDialog::Accepted || folderPath.isEmpty()) {
        return;
    }
    ++runsUnderWay_;
    progressSpinner->show();
    progressSpinner->startAnimation();
    setReportText("");

    quelby::RunOptions options;
    options.operation = operation;
    options.folder = quelby::normalisedFolder(QFile::encodeName(folderPath).toStdString(),
                                              QFile::encodeName(QDir::currentPath()).toStdString());
    options.verbose = verboseCheckbox->isChecked();
    options.timeStamps = operation != Operation::check && timesCheckbox->isChecked();
    options.backEnd = quelby::platformDigestBackEnd();
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    if (const auto valid = quelby::validateRunOptions(options); !valid) {
        setReportText(valid.error());
        runEnded();
        return;
    }

    auto stopFlag = std::make_shared<std::atomic<bool>>(false);
    runs_.push_back(RunUnderWay{operation, stopFlag});
    processingQueue.start([this, options, stopFlag] {
        // Tag's notices reach the report at once; the rest of the run's text
        // waits for its end, as it always has.
        class Observer : public quelby::RunObserver {
        public:
            Observer(ViewController* window, const std::atomic<bool>& stop)
                : window_(window), stop_(stop)
            {
            }
            void entryDone(const quelby::EntryOutcome& outcome) override
            {
                pendingText += outcome.lines;
                if (!outcome.notices.empty()) {
                    window_->onMainThread(
                        [window = window_, shown = styledReportText(outcome.notices)]() mutable {
                            window->outputTextbox->appendText(std::move(shown));
                        });
                }
            }
            bool stopRequested() override { return stop_.load(std::memory_order_relaxed); }

            std::string pendingText;

        private:
            ViewController* window_;
            const std::atomic<bool>& stop_;
        } observer(this, *stopFlag);

        const quelby::RunState state = quelby::walkFolder(options, observer);
        FinishedRun run{options, state.stopped, {}, stopFlag};
        run.displayText = styledReportText(
            observer.pendingText + (state.stopped ? quelby::stoppedText(options, state)
                                                  : quelby::summaryText(options, state)));
        onMainThread([this, run = std::move(run)]() mutable { finishRun(std::move(run)); });
    });

    runDate = QDateTime::currentDateTimeUtc();
    setWindowTitle(folderName(options.folder));
}

void ViewController::finishRun(FinishedRun run)
{
    outputTextbox->appendText(std::move(run.displayText));
    std::erase_if(runs_, [&run](const RunUnderWay& underWay) {
        return underWay.stopFlag == run.stopFlag;
    });
    runEnded();
}

// The indicator stays while any run is under way, not only the latest.
void ViewController::runEnded()
{
    if (--runsUnderWay_ == 0) {
        progressSpinner->stopAnimation();
        progressSpinner->hide();
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

void ViewController::exportText()
{
    const QByteArray contents = exportedText(outputTextbox->utf8Text(), runDate);
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
            auto* alert = new QMessageBox(QMessageBox::Critical, tr("Export"),
                                          tr("An error occurred:"), QMessageBox::Ok, this);
            alert->setObjectName(QStringLiteral("exportErrorAlert"));
            alert->setInformativeText(written.error());
            alert->setAttribute(Qt::WA_DeleteOnClose);
            alert->open();
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

bool ViewController::taggingUnderWay() const
{
    return std::ranges::any_of(runs_, [](const RunUnderWay& run) {
        return run.operation != Operation::check;
    });
}

void ViewController::stopAllRuns()
{
    for (const auto& run : runs_) {
        run.stopFlag->store(true, std::memory_order_relaxed);
    }
    // Walks look at their flag between reads, so this is a moment, never the rest of a walk.
    processingQueue.waitForDone();
}
