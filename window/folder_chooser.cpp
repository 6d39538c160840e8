#include "window/folder_chooser.h"

#include <QDir>
#include <QFileDialog>

QFileDialog* makeFolderChooser(QWidget* parent, FolderChoice choice, const QString& start)
{
    auto* chooser = new QFileDialog(parent);
    chooser->setWindowTitle(choice == FolderChoice::toProtect
                                ? QObject::tr("Choose a folder to protect")
                                : QObject::tr("Choose the copy to repair from"));
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly, true);
    // A desktop's own dialog may ignore the hidden filter, and hidden folders are tagged too.
    chooser->setOption(QFileDialog::DontUseNativeDialog, true);
    chooser->setFilter(QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot);
    chooser->setDirectory(start.isEmpty() ? QDir::homePath() : start);
    return chooser;
}
