#pragma once

// What the report view's drawing and its input handling share.

#include <QTextLayout>

namespace report_layout {

// The space around the text, in pixels.
constexpr int kMargin = 6;

// The caret position nearest to x on a laid-out line. QTextLine::xToCursor misplaces points
// after a cluster with a variation selector (the warning sign), so this walks the clusters.
qsizetype columnAtX(const QTextLayout& layout, qreal x);

} // namespace report_layout
