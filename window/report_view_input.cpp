// The report view's keys, mouse and context menu: moving the caret and the selection.

#include "window/report_layout.h"
#include "window/report_view.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>

using report_layout::columnAtX;
using report_layout::kMargin;

qsizetype ReportView::stepped(qsizetype position, int direction) const
{
    const qsizetype line = lineAt(position);
    const qsizetype start = lineStart(line);
    const qsizetype end = lineEnd(line);
    if (direction < 0 && position == start) {
        return std::max<qsizetype>(0, position - 1);
    }
    if (direction > 0 && position >= end) {
        return std::min(shown().characterCount(), position + 1);
    }
    QTextLayout layout;
    layoutLine(layout, line);
    const int column = static_cast<int>(position - start);
    return start + (direction < 0 ? layout.previousCursorPosition(column)
                                  : layout.nextCursorPosition(column));
}

qsizetype ReportView::movedVertically(qsizetype position, qsizetype lines) const
{
    const qsizetype line = lineAt(position);
    const qsizetype target = std::clamp<qsizetype>(line + lines, 0, lineCount() - 1);
    if (target == line) {
        return lines < 0 ? 0 : shown().characterCount();
    }
    QTextLayout from;
    layoutLine(from, line);
    const qreal x = from.lineAt(0).cursorToX(static_cast<int>(position - lineStart(line)));
    QTextLayout to;
    layoutLine(to, target);
    return lineStart(target) + columnAtX(to, x);
}

bool ReportView::event(QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void ReportView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool extend = event->modifiers().testFlag(Qt::ShiftModifier);
    const bool whole = event->modifiers().testFlag(Qt::ControlModifier);
    const int visibleLines = std::max(1, (viewport()->height() - 2 * kMargin) / lineHeight_);
    qsizetype target = cursor_;
    switch (event->key()) {
    case Qt::Key_Left:
        target = stepped(cursor_, -1);
        break;
    case Qt::Key_Right:
        target = stepped(cursor_, +1);
        break;
    case Qt::Key_Up:
        target = movedVertically(cursor_, -1);
        break;
    case Qt::Key_Down:
        target = movedVertically(cursor_, +1);
        break;
    case Qt::Key_PageUp:
        target = movedVertically(cursor_, -visibleLines);
        break;
    case Qt::Key_PageDown:
        target = movedVertically(cursor_, visibleLines);
        break;
    case Qt::Key_Home:
        target = whole ? 0 : lineStart(lineAt(cursor_));
        break;
    case Qt::Key_End:
        target = whole ? shown().characterCount() : lineEnd(lineAt(cursor_));
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    setSelection(extend ? anchor_ : target, target);
    ensurePositionVisible(target);
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent caret(this, static_cast<int>(std::min<qsizetype>(cursor_, INT_MAX)));
        QAccessible::updateAccessibility(&caret);
    }
}

void ReportView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const qsizetype position = positionAt(event->position().toPoint());
    const bool extend = event->modifiers().testFlag(Qt::ShiftModifier);
    setSelection(extend ? anchor_ : position, position);
    selecting_ = true;
}

void ReportView::mouseMoveEvent(QMouseEvent* event)
{
    if (!selecting_) {
        return;
    }
    const qsizetype position = positionAt(event->position().toPoint());
    setSelection(anchor_, position);
    ensurePositionVisible(position);
}

void ReportView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        selecting_ = false;
    }
}

void ReportView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const qsizetype position = positionAt(event->position().toPoint());
    const qsizetype line = lineAt(position);
    const QString textOfLine = lineText(line);
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, textOfLine);
    words.setPosition(position - lineStart(line));
    qsizetype from = words.isAtBoundary() ? words.position() : words.toPreviousBoundary();
    words.setPosition(position - lineStart(line));
    qsizetype to = words.toNextBoundary();
    if (from < 0) {
        from = 0;
    }
    if (to < 0) {
        to = textOfLine.size();
    }
    setSelection(lineStart(line) + from, lineStart(line) + to);
}

void ReportView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* copyAction = menu.addAction(tr("Copy"), this, &ReportView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    QAction* selectAllAction = menu.addAction(tr("Select All"), this, &ReportView::selectAll);
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}
