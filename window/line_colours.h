#pragma once

// The pen for each kind of report line. Red, amber and green are taken light
// on a dark base and dark on a light one, then moved further from the base
// until they read at 4.5:1 or better, so any theme's palette stays legible.
// The symbols at the start of the lines say the same for those who cannot
// tell the colours apart.

#include "window/line_kinds.h"

#include <QColor>
#include <array>

class QPalette;

// Indexed by LineKind.
using LineColours = std::array<QColor, 5>;

LineColours lineColours(const QPalette& palette);

// The grey that outlines the controls (check boxes, fields, buttons): 3:1 or better against both
// the window's background and the base inside a field, so a dark theme cannot hide them.
QColor controlFrameColour(const QPalette& palette);
