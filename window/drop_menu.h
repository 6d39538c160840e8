#pragma once

// Folders dropped on the window from a file manager: a small menu at the drop
// point asks which run to start on them.

#include "engine/run/run.h"

#include <QStringList>
#include <functional>

class QMenu;
class QMimeData;
class QPoint;
class QWidget;

// The local folders among dropped URLs; files and remote URLs are left out.
QStringList droppedFolders(const QMimeData& data);

// Opens the menu (objectName "dropMenu") at globalPosition without waiting for it; choosing
// Check, Tag or Retag calls start with that operation. The menu deletes itself when it closes.
QMenu* openDropMenu(QWidget* parent, const QPoint& globalPosition,
                    std::function<void(quelby::Operation)> start);
