#pragma once

// The dialogs that choose a folder. Each says in its title what the folder is for, and opens
// where the user already chose a folder or else in the home folder.

#include <QString>

class QFileDialog;
class QWidget;

enum class FolderChoice
{
    toProtect,        // a folder to check, tag, retag or add to the collection
    copyToRepairFrom, // the folder of intact copies a repair takes a file from
};

// A dialog of folders only, hidden ones included, opening in start or, when start is empty,
// the home folder. Made, not shown.
QFileDialog* makeFolderChooser(QWidget* parent, FolderChoice choice, const QString& start = {});
