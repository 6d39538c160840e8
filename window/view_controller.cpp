// The main window itself: what it is made of, its settings, its report, and
// how it goes (a close waits for the runs; a drop offers the operations).

#include "window/view_controller.h"

#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "window/buffer_size.h"
#include "window/drop_menu.h"
#include "window/problems_view.h"
#include "window/report_view.h"
#include "window/user_settings.h"
#include "window/user_timers.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
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

std::string ViewController::styledReportText(std::string_view reportText)
{
    return quelby::withInvalidUtf8Escaped(reportText);
}

KindedText ViewController::styledReportText(const KindedText& reportText)
{
    return reportText.withText(quelby::withInvalidUtf8Escaped(reportText.text()));
}

void ViewController::setReportText(const KindedText& reportText)
{
    outputTextbox->setText(styledReportText(reportText));
}

void ViewController::appendReportText(const KindedText& reportText)
{
    outputTextbox->appendText(styledReportText(reportText));
}

void ViewController::setAlertPresenter(AlertPresenter& alerts)
{
    alerts_ = &alerts;
    problemsView->setAlertPresenter(alerts);
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
