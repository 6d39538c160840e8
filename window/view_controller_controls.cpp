// The main window's actions, menus and controls: what the user sees and
// presses, and what each press is connected to.

#include "window/buffer_size.h"
#include "window/busy_indicator.h"
#include "window/control_frames.h"
#include "window/report_accessible.h"
#include "window/report_view.h"
#include "window/run_progress.h"
#include "window/view_controller.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

void ViewController::createActions()
{
    const auto makeAction = [this](const QString& text, const char* name,
                                   const QKeySequence& shortcut) {
        auto* action = new QAction(text, this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(shortcut);
        return action;
    };
    actionCheck_ = makeAction(tr("&Check…"), "actionCheck", {});
    actionTag_ = makeAction(tr("&Tag…"), "actionTag", {});
    actionRetag_ = makeAction(tr("&Retag…"), "actionRetag", {});
    actionStop_ = makeAction(tr("&Stop"), "actionStop", QKeySequence::Cancel);
    actionShowProblemsOnly_ = makeAction(tr("Show &Problems Only"), "actionShowProblemsOnly", {});
    actionExport_ = makeAction(tr("&Export…"), "actionExport", QKeySequence(tr("Ctrl+S")));
    actionQuit_ = makeAction(tr("&Quit"), "actionQuit", QKeySequence(tr("Ctrl+Q")));
    actionCopy_ = makeAction(tr("&Copy"), "actionCopy", QKeySequence::Copy);
    actionSelectAll_ = makeAction(tr("Select &All"), "actionSelectAll", QKeySequence::SelectAll);
    actionLarger_ = makeAction(tr("&Larger"), "actionLarger", QKeySequence::ZoomIn);
    actionSmaller_ = makeAction(tr("&Smaller"), "actionSmaller", QKeySequence::ZoomOut);
    // The report view takes copy and select-all itself while it has the focus.
    actionCopy_->setShortcutContext(Qt::WidgetShortcut);
    actionSelectAll_->setShortcutContext(Qt::WidgetShortcut);
    // Escape stops only from the report: in a field or a dialog it keeps its usual meaning.
    actionStop_->setShortcutContext(Qt::WidgetShortcut);
    actionStop_->setEnabled(false);
    actionShowProblemsOnly_->setCheckable(true);
    actionShowFolders_ = makeAction(tr("Show &Folders"), "actionShowFolders", {});
    actionShowFolders_->setCheckable(true);

    connect(actionCheck_, &QAction::triggered, this, &ViewController::checkButton);
    connect(actionTag_, &QAction::triggered, this, &ViewController::hashButton);
    connect(actionRetag_, &QAction::triggered, this, &ViewController::retagButton);
    connect(actionStop_, &QAction::triggered, this, &ViewController::stopRuns);
    connect(actionShowProblemsOnly_, &QAction::toggled, this, &ViewController::showProblemsOnly);
    connect(actionExport_, &QAction::triggered, this, &ViewController::exportText);
    connect(actionQuit_, &QAction::triggered, this, &ViewController::doCloseQuit);
    connect(actionLarger_, &QAction::triggered, this, &ViewController::incFontSize);
    connect(actionSmaller_, &QAction::triggered, this, &ViewController::decFontSize);
}

void ViewController::createMenus()
{
    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(actionExport_);
    fileMenu->addSeparator();
    fileMenu->addAction(actionQuit_);

    QMenu* editMenu = menuBar()->addMenu(tr("&Edit"));
    editMenu->setObjectName(QStringLiteral("editMenu"));
    editMenu->addAction(actionCopy_);
    editMenu->addAction(actionSelectAll_);

    QMenu* viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->setObjectName(QStringLiteral("viewMenu"));
    viewMenu->addAction(actionLarger_);
    viewMenu->addAction(actionSmaller_);
    viewMenu->addSeparator();
    viewMenu->addAction(actionShowProblemsOnly_);
    viewMenu->addAction(actionShowFolders_);

    QMenu* folderMenu = menuBar()->addMenu(tr("F&older"));
    folderMenu->addAction(actionCheck_);
    folderMenu->addAction(actionTag_);
    folderMenu->addAction(actionRetag_);
    folderMenu->addSeparator();
    folderMenu->addAction(actionStop_);
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
    bufferTextbox->setValidator(new BufferEntryValidator(bufferTextbox));
    connect(bufferTextbox, &QLineEdit::textChanged, this, [this](const QString& entry) {
        if (!isRefusedBufferEntry(entry, bufferTextbox->locale())) {
            acceptedBufferEntry_ = entry;
        }
    });
    // Set from elsewhere than the keyboard, a refused entry goes back to the last one taken.
    connect(bufferTextbox, &QLineEdit::editingFinished, this, [this] {
        if (isRefusedBufferEntry(bufferTextbox->text(), bufferTextbox->locale())) {
            bufferTextbox->setText(acceptedBufferEntry_);
        }
    });
    sizePopup = new QComboBox(central);
    sizePopup->setObjectName(QStringLiteral("sizePopup"));
    sizePopup->setAccessibleName(tr("Buffer size unit"));
    verboseCheckbox = new QCheckBox(tr("&Verbose"), central);
    verboseCheckbox->setObjectName(QStringLiteral("verboseCheckbox"));
    verboseCheckbox->setAccessibleName(tr("Verbose"));
    timesCheckbox = new QCheckBox(tr("Time &stamps"), central);
    timesCheckbox->setObjectName(QStringLiteral("timesCheckbox"));
    timesCheckbox->setAccessibleName(tr("Time stamps"));
    tellEditsCheckbox = new QCheckBox(tr("Tell edits from &damage"), central);
    tellEditsCheckbox->setObjectName(QStringLiteral("tellEditsCheckbox"));
    tellEditsCheckbox->setAccessibleName(tr("Tell edits from damage"));
    progressSpinner = new BusyIndicator(central);
    progressSpinner->setObjectName(QStringLiteral("progressSpinner"));
    progressSpinner->hide();

    options->addWidget(bufferLabel);
    options->addWidget(bufferTextbox);
    options->addWidget(sizePopup);
    options->addSpacing(12);
    options->addWidget(verboseCheckbox);
    options->addWidget(timesCheckbox);
    options->addWidget(tellEditsCheckbox);
    options->addStretch(1);
    options->addWidget(progressSpinner);

    const struct {
        QAction* action;
        const char* name;
        QString text;
    } buttons[] = {{actionCheck_, "checkButton", tr("&Check")},
                   {actionTag_, "hashButton", tr("&Tag")},
                   {actionRetag_, "retagButton", tr("&Retag")},
                   {actionStop_, "stopButton", tr("Sto&p")}};
    for (const auto& button : buttons) {
        auto* push = new QPushButton(button.text, central);
        push->setObjectName(QString::fromLatin1(button.name));
        push->setAccessibleName(QString(button.text).remove(QLatin1Char('&')));
        push->setEnabled(button.action->isEnabled());
        connect(push, &QPushButton::clicked, button.action, &QAction::trigger);
        connect(button.action, &QAction::enabledChanged, push, &QPushButton::setEnabled);
        options->addWidget(push);
    }
    layout->addLayout(options);

    // The report draws its own text, so assistive technology reads it through its own interface.
    installReportAccessibility();
    outputTextbox = new ReportView(central);
    outputTextbox->setObjectName(QStringLiteral("outputTextbox"));
    outputTextbox->setAccessibleName(tr("Report"));
    outputTextbox->addAction(actionCopy_);
    outputTextbox->addAction(actionSelectAll_);
    outputTextbox->addAction(actionStop_);
    connect(actionCopy_, &QAction::triggered, outputTextbox, &ReportView::copy);
    connect(actionSelectAll_, &QAction::triggered, outputTextbox, &ReportView::selectAll);
    layout->addWidget(outputTextbox, 1);

    progressLine = new RunProgressLine(central);
    progressLine->setObjectName(QStringLiteral("progressLine"));
    layout->addWidget(progressLine);

    setCentralWidget(central);
    resize(860, 560);
}

// Every control says what it does when the pointer rests on it, and is outlined so that any
// palette shows it; the keyboard starts where a first Check starts.
void ViewController::describeControls()
{
    const std::pair<QWidget*, QString> tips[] = {
        {bufferTextbox, tr("How much of a file is read at a time, in the unit beside it; 1 or "
                           "more")},
        {sizePopup, tr("The unit of the buffer size")},
        {verboseCheckbox, tr("List every file in the report, not only those that need "
                             "attention")},
        {timesCheckbox, tr("Tag and Retag also store when each digest was written, which tells "
                           "an edit from damage later")},
        {tellEditsCheckbox, tr("Check says whether each file that differs was edited or may be "
                               "damaged; Retag keeps the digests of files not judged edited")},
        {findChild<QPushButton*>(QStringLiteral("checkButton")),
         tr("Choose a folder and compare every file with its stored digest")},
        {findChild<QPushButton*>(QStringLiteral("hashButton")),
         tr("Choose a folder and store a digest for every file in it")},
        {findChild<QPushButton*>(QStringLiteral("retagButton")),
         tr("Choose a folder and bring its stored digests up to date")},
        {findChild<QPushButton*>(QStringLiteral("stopButton")), tr("Stop every run under way")},
        {outputTextbox, tr("The report of the latest runs")},
        {progressSpinner, tr("A run is under way")},
        {progressLine, tr("How far the runs under way have come")},
    };
    auto* frames = new ControlFrameStyle;
    frames->setParent(this);
    for (const auto& [control, tip] : tips) {
        control->setToolTip(tip);
    }
    // Every control the keyboard can reach, the views beside the report's included.
    for (QWidget* control : findChildren<QWidget*>()) {
        const bool outlined = qobject_cast<QAbstractButton*>(control) ||
                              qobject_cast<QLineEdit*>(control) ||
                              qobject_cast<QComboBox*>(control) ||
                              qobject_cast<QAbstractSpinBox*>(control);
        if (outlined && control->focusPolicy() != Qt::NoFocus) {
            control->setStyle(frames);
        }
    }
    findChild<QPushButton*>(QStringLiteral("checkButton"))->setFocus();
}
