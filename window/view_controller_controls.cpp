// The main window's actions, menus and controls: what the user sees and
// presses, and what each press is connected to.

#include "window/busy_indicator.h"
#include "window/report_view.h"
#include "window/run_progress.h"
#include "window/view_controller.h"

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
    editMenu->addAction(actionCopy_);
    editMenu->addAction(actionSelectAll_);

    QMenu* viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->setObjectName(QStringLiteral("viewMenu"));
    viewMenu->addAction(actionLarger_);
    viewMenu->addAction(actionSmaller_);
    viewMenu->addSeparator();
    viewMenu->addAction(actionShowProblemsOnly_);

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
