#include "window/report_view.h"

#include "window/line_colours.h"
#include "window/report_layout.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace report_layout {

qsizetype columnAtX(const QTextLayout& layout, qreal x)
{
    const QTextLine line = layout.lineAt(0);
    const int length = static_cast<int>(layout.text().size());
    int column = 0;
    qreal left = line.cursorToX(column);
    while (column < length) {
        const int next = layout.nextCursorPosition(column);
        const qreal right = line.cursorToX(next);
        if (x < (left + right) / 2) {
            return column;
        }
        column = next;
        left = right;
    }
    return length;
}

} // namespace report_layout

using report_layout::columnAtX;
using report_layout::kMargin;

ReportView::ReportView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    scrollBarsDue_.setSingleShot(true);
    scrollBarsDue_.setInterval(0);
    connect(&scrollBarsDue_, &QTimer::timeout, this, &ReportView::updateScrollBars);
    updateMetrics();
}

ReportView::~ReportView() = default;

void ReportView::setText(KindedText utf8)
{
    all_.clear();
    problems_.clear();
    sortedLines_ = 0;
    problemsEndOpen_ = false;
    anchor_ = cursor_ = 0;
    if (QAccessible::isActive()) {
        QAccessibleEvent reset(this, QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&reset);
    }
    appendText(std::move(utf8));
    scrollBarsDue_.stop();
    updateScrollBars();
    viewport()->update();
    emit selectionChanged();
}

void ReportView::appendOnNewLine(KindedText utf8)
{
    const std::string& whole = all_.utf8();
    if (!utf8.empty() && !whole.empty() && whole.back() != '\n') {
        KindedText onNewLine("\n");
        onNewLine.add(utf8);
        utf8 = std::move(onNewLine);
    }
    appendText(std::move(utf8));
}

void ReportView::appendText(KindedText utf8)
{
    if (utf8.empty()) {
        return;
    }
    // With only problems shown, an open last line is taken away and sorted again with its end.
    const qsizetype oldUnits = problemsOnly_ && problemsEndOpen_
                                   ? problems_.lineStart(problems_.lineCount() - 1)
                                   : shown().characterCount();
    all_.append(std::move(utf8));
    if (problemsOnly_) {
        filterNewLines();
    }
    if (!scrollBarsDue_.isActive()) {
        scrollBarsDue_.start();
    }
    viewport()->update();
    notifyTextInserted(oldUnits, shown().characterCount() - oldUnits);
}

void ReportView::setProblemsOnly(bool problemsOnly)
{
    if (problemsOnly == problemsOnly_) {
        return;
    }
    problemsOnly_ = problemsOnly;
    problems_.clear();
    sortedLines_ = 0;
    problemsEndOpen_ = false;
    if (problemsOnly_) {
        filterNewLines();
    }
    anchor_ = cursor_ = 0;
    if (QAccessible::isActive()) {
        QAccessibleEvent reset(this, QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&reset);
    }
    verticalScrollBar()->setValue(0);
    scrollBarsDue_.stop();
    updateScrollBars();
    viewport()->update();
    emit selectionChanged();
}

// Sorts the lines appended since the last call into problems_, in one append.
void ReportView::filterNewLines()
{
    if (problemsEndOpen_) {
        problems_.dropOpenLine();
        problemsEndOpen_ = false;
    }
    const qsizetype openLine = all_.lineCount() - 1;
    // Each stretch of lines kept in a row is copied at once.
    qsizetype keptFrom = -1;
    for (qsizetype line = sortedLines_; line <= openLine; ++line) {
        const std::string_view bytes = all_.lineBytes(line);
        const bool keep = !bytes.empty() && isProblemOrSummary(all_.lineKind(line));
        if (keep && keptFrom < 0) {
            keptFrom = line;
        } else if (!keep && keptFrom >= 0) {
            problems_.appendLines(all_, keptFrom, line - 1);
            keptFrom = -1;
        }
    }
    if (keptFrom >= 0) {
        problems_.appendLines(all_, keptFrom, openLine);
        problemsEndOpen_ = !all_.lineBytes(openLine).empty();
    }
    sortedLines_ = openLine;
}

QString ReportView::selectedText() const
{
    return text(selectionStart(), selectionEnd());
}

void ReportView::setSelection(qsizetype anchor, qsizetype position)
{
    anchor = std::clamp<qsizetype>(anchor, 0, shown().characterCount());
    position = std::clamp<qsizetype>(position, 0, shown().characterCount());
    if (anchor == anchor_ && position == cursor_) {
        return;
    }
    anchor_ = anchor;
    cursor_ = position;
    viewport()->update();
    if (QAccessible::isActive()) {
        const int start = static_cast<int>(std::min<qsizetype>(selectionStart(), INT_MAX));
        const int end = static_cast<int>(std::min<qsizetype>(selectionEnd(), INT_MAX));
        QAccessibleTextSelectionEvent selection(this, start, end);
        selection.setCursorPosition(static_cast<int>(std::min<qsizetype>(cursor_, INT_MAX)));
        QAccessible::updateAccessibility(&selection);
    }
    emit selectionChanged();
}

void ReportView::selectAll()
{
    setSelection(0, shown().characterCount());
}

void ReportView::copy() const
{
    if (hasSelection()) {
        QGuiApplication::clipboard()->setText(selectedText());
    }
}

void ReportView::setPointSize(double points)
{
    pointSize_ = points;
    updateMetrics();
    updateScrollBars();
    viewport()->update();
}

void ReportView::updateMetrics()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSize_);
    font.setWeight(QFont::Normal);
    setFont(font);
    const QFontMetricsF metrics(font);
    lineHeight_ = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
    averageCharWidth_ = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('M')));
}

void ReportView::scrollBarsNowIfDue()
{
    if (scrollBarsDue_.isActive()) {
        scrollBarsDue_.stop();
        updateScrollBars();
    }
}

void ReportView::updateScrollBars()
{
    const int visibleLines = std::max(1, (viewport()->height() - 2 * kMargin) / lineHeight_);
    const qsizetype lastTop = std::max<qsizetype>(0, lineCount() - visibleLines);
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<qsizetype>(lastTop, INT_MAX)));
    verticalScrollBar()->setPageStep(visibleLines);
    verticalScrollBar()->setSingleStep(1);
    // Wide characters (emoji) can make a line somewhat wider than this; a margin of a few
    // characters keeps the line ends reachable without measuring every line.
    const qreal contentWidth =
        static_cast<qreal>(shown().longestLine() + 4) * averageCharWidth_ + 2 * kMargin;
    const int overflow = static_cast<int>(std::min<qreal>(
        std::max<qreal>(0, contentWidth - viewport()->width()), INT_MAX));
    horizontalScrollBar()->setRange(0, overflow);
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(static_cast<int>(averageCharWidth_));
}

void ReportView::layoutLine(QTextLayout& layout, qsizetype line) const
{
    layout.setText(lineText(line));
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    textLine.setLineWidth(1.0e7);
    textLine.setPosition(QPointF(0, 0));
    layout.endLayout();
}

int ReportView::lineTop(qsizetype line) const
{
    const qsizetype relative = line - verticalScrollBar()->value();
    return kMargin + static_cast<int>(relative) * lineHeight_;
}

void ReportView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const LineColours colours = lineColours(palette());
    const QColor textColour = palette().color(QPalette::Text);
    const qsizetype first = verticalScrollBar()->value();
    const qsizetype last =
        std::min(lineCount() - 1, first + viewport()->height() / lineHeight_ + 1);
    const qreal left = kMargin - horizontalScrollBar()->value();
    const qsizetype selStart = selectionStart();
    const qsizetype selEnd = selectionEnd();
    const bool showCaret = hasFocus();

    QTextCharFormat selected;
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));

    for (qsizetype line = first; line <= last; ++line) {
        QTextLayout layout;
        layoutLine(layout, line);
        const qsizetype start = lineStart(line);
        const qsizetype end = lineEnd(line);
        QList<QTextLayout::FormatRange> selections;
        if (selStart < selEnd && selStart <= end && selEnd > start) {
            const qsizetype from = std::max(selStart, start) - start;
            const qsizetype to = std::min(selEnd, end) - start;
            if (to > from) {
                selections.append({static_cast<int>(from), static_cast<int>(to - from), selected});
            }
        }
        const QPointF origin(left, lineTop(line));
        // The selected line feed is shown as a short highlighted stretch past the line's end.
        if (selStart <= end && selEnd > end && line + 1 < lineCount()) {
            const qreal x = layout.lineAt(0).naturalTextWidth();
            painter.fillRect(QRectF(origin.x() + x, origin.y(), averageCharWidth_, lineHeight_),
                             selected.background());
        }
        painter.setPen(colours[static_cast<std::size_t>(shown().lineKind(line))]);
        layout.draw(&painter, origin, selections);
        painter.setPen(textColour);
        if (showCaret && cursor_ >= start && cursor_ <= end) {
            layout.drawCursor(&painter, origin, static_cast<int>(cursor_ - start));
        }
    }
}

void ReportView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

// The vertical scroll bar counts lines, not pixels, so the view is drawn afresh rather than moved.
void ReportView::scrollContentsBy(int, int)
{
    viewport()->update();
}

QRect ReportView::characterRect(qsizetype position) const
{
    position = std::clamp<qsizetype>(position, 0, shown().characterCount());
    const qsizetype line = lineAt(position);
    QTextLayout layout;
    layoutLine(layout, line);
    const QTextLine textLine = layout.lineAt(0);
    const int column = static_cast<int>(position - lineStart(line));
    const qreal x = textLine.cursorToX(column);
    qreal next = textLine.cursorToX(layout.nextCursorPosition(column));
    if (next <= x) {
        next = x + averageCharWidth_;
    }
    const qreal left = kMargin - horizontalScrollBar()->value();
    return QRectF(left + x, lineTop(line), next - x, lineHeight_).toAlignedRect();
}

qsizetype ReportView::positionAt(QPoint viewportPoint) const
{
    const qsizetype relative =
        static_cast<qsizetype>(std::floor(static_cast<double>(viewportPoint.y() - kMargin) /
                                          static_cast<double>(lineHeight_)));
    const qsizetype line =
        std::clamp<qsizetype>(verticalScrollBar()->value() + relative, 0, lineCount() - 1);
    QTextLayout layout;
    layoutLine(layout, line);
    const qreal x = viewportPoint.x() - kMargin + horizontalScrollBar()->value();
    return lineStart(line) + columnAtX(layout, x);
}

void ReportView::ensurePositionVisible(qsizetype position)
{
    scrollBarsNowIfDue();
    const qsizetype line = lineAt(position);
    const int visibleLines = std::max(1, (viewport()->height() - 2 * kMargin) / lineHeight_);
    QScrollBar* vertical = verticalScrollBar();
    if (line < vertical->value()) {
        vertical->setValue(static_cast<int>(line));
    } else if (line >= vertical->value() + visibleLines) {
        vertical->setValue(static_cast<int>(line - visibleLines + 1));
    }
    const QRect rect = characterRect(position);
    QScrollBar* horizontal = horizontalScrollBar();
    if (rect.left() < kMargin) {
        horizontal->setValue(horizontal->value() + rect.left() - kMargin);
    } else if (rect.right() > viewport()->width() - kMargin) {
        horizontal->setValue(horizontal->value() + rect.right() - viewport()->width() + kMargin);
    }
}

void ReportView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void ReportView::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void ReportView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        viewport()->update();
    }
}

void ReportView::notifyTextInserted(qsizetype position, qsizetype count)
{
    if (!QAccessible::isActive() || count <= 0) {
        return;
    }
    QAccessibleTextInsertEvent inserted(this, static_cast<int>(std::min<qsizetype>(position, INT_MAX)),
                                        text(position, position + count));
    QAccessible::updateAccessibility(&inserted);
}
