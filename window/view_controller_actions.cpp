// What the main window's actions do: the three operations' folder chooser,
// the report's size, filter and export, Stop and Quit.

#include "window/folder_chooser.h"
#include "window/folders_view.h"
#include "window/report_export.h"
#include "window/report_view.h"
#include "window/run_names.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QSettings>
#include <algorithm>

using quelby::Operation;

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
    const auto selected = foldersView->selectedFolder();
    QFileDialog* chooser =
        makeFolderChooser(this, FolderChoice::toProtect,
                          selected ? QFile::decodeName(QByteArray::fromStdString(*selected))
                                   : QString());
    chooser->setObjectName(QStringLiteral("folderChooser"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setLabelText(QFileDialog::Accept, operationName(operation));
    // Tag over a folder tagged before replaces every digest that differs, the evidence of damage
    // among them; this keeps them all and tags only the files added since.
    QCheckBox* newOnly = nullptr;
    if (auto* grid = qobject_cast<QGridLayout*>(chooser->layout());
        grid && operation == Operation::tag) {
        newOnly = new QCheckBox(tr("Tag &new files only"), chooser);
        newOnly->setObjectName(QStringLiteral("newOnlyCheckbox"));
        newOnly->setAccessibleName(tr("Tag new files only"));
        newOnly->setToolTip(tr("Store a digest only for the files that have none, and keep "
                               "every stored digest as it is"));
        grid->addWidget(newOnly, grid->rowCount(), 0, 1, grid->columnCount());
    }
    connect(chooser, &QDialog::finished, this, [this, chooser, operation, newOnly](int response) {
        const QString folder = chooser->selectedFiles().value(0);
        if (response == QDialog::Accepted && !folder.isEmpty()) {
            startRunAt(operation, QFile::encodeName(folder).toStdString(), {},
                       newOnly != nullptr && newOnly->isChecked());
        }
    });
    chooser->open();
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
            alerts_->run(Alert{
                Alert::Style::critical, tr("An error occurred:"), written.error(), {tr("OK")}});
        }
    });
    dialog->show();
}

void ViewController::doCloseQuit()
{
    close();
}

void ViewController::stopRuns()
{
    for (const auto& run : runs_) {
        run.stopFlag->store(true, std::memory_order_relaxed);
    }
}
