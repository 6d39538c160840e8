#pragma once

// How the window's short texts (title, progress line, notifications) name a
// run's folder and write its figures.

#include "engine/run/run.h"

#include <QLocale>
#include <QString>
#include <string>

// "Check", "Tag" or "Retag": the chooser's confirm button and the notifications say it so.
QString operationName(quelby::Operation operation);

// The folder's last component, or "/" for the root.
QString folderName(const std::string& folder);

// The locale figures are written in, with digits grouped: the C locale groups none, so there the
// figures read as the report's English does.
QLocale figuresLocale(QLocale locale = QLocale());
