#include "window/report_accessible.h"

#include "window/report_view.h"

#include <QAccessibleWidget>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace {

int clampedInt(qsizetype value)
{
    return static_cast<int>(std::clamp<qsizetype>(value, 0, INT_MAX));
}

class ReportAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ReportAccessible(ReportView* view)
        : QAccessibleWidget(view, QAccessible::EditableText)
    {
    }

    QAccessible::State state() const override
    {
        QAccessible::State result = QAccessibleWidget::state();
        result.readOnly = true;
        result.multiLine = true;
        result.selectableText = true;
        result.focusable = true;
        return result;
    }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value) {
            return view()->plainText();
        }
        return QAccessibleWidget::text(kind);
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    // QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && view()->hasSelection()) {
            *startOffset = clampedInt(view()->selectionStart());
            *endOffset = clampedInt(view()->selectionEnd());
        }
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override
    {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0) {
            view()->setCursorPosition(view()->cursorPosition());
        }
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0) {
            view()->setSelection(startOffset, endOffset);
        }
    }
    int cursorPosition() const override { return clampedInt(view()->cursorPosition()); }
    void setCursorPosition(int position) override { view()->setCursorPosition(position); }
    QString text(int startOffset, int endOffset) const override
    {
        return view()->text(startOffset, endOffset);
    }
    int characterCount() const override { return clampedInt(view()->characterCount()); }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* startOffset,
                         int* endOffset) const override
    {
        return textAround(offset, boundary, 0, startOffset, endOffset);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary,
                             int* startOffset, int* endOffset) const override
    {
        return textAround(offset, boundary, -1, startOffset, endOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* startOffset,
                            int* endOffset) const override
    {
        return textAround(offset, boundary, +1, startOffset, endOffset);
    }

    QRect characterRect(int offset) const override
    {
        const QRect local = view()->characterRect(offset);
        return QRect(view()->viewport()->mapToGlobal(local.topLeft()), local.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local)) {
            return -1;
        }
        return clampedInt(view()->positionAt(local));
    }
    void scrollToSubstring(int startIndex, int endIndex) override
    {
        view()->ensurePositionVisible(endIndex);
        view()->ensurePositionVisible(startIndex);
    }
    QString attributes(int offset, int* startOffset, int* endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        if (offset < 0 || offset > *endOffset) {
            *startOffset = *endOffset = -1;
            return {};
        }
        const QFont font = view()->font();
        return QStringLiteral("font-family:\"%1\";font-size:%2pt;font-weight:normal;")
            .arg(font.family())
            .arg(font.pointSizeF());
    }

private:
    ReportView* view() const { return static_cast<ReportView*>(widget()); }

    // The piece of text of the given kind at offset (direction 0), before it (-1) or after
    // it (+1). Lines, sentences and paragraphs are the report's lines.
    QString textAround(int offset, QAccessible::TextBoundaryType boundary, int direction,
                       int* startOffset, int* endOffset) const
    {
        *startOffset = *endOffset = -1;
        const ReportView* report = view();
        const qsizetype count = report->characterCount();
        if (offset == -2) {
            offset = cursorPosition();
        }
        if (offset < 0 || offset > count) {
            return {};
        }
        if (boundary == QAccessible::NoBoundary) {
            if (direction != 0) {
                return {};
            }
            *startOffset = 0;
            *endOffset = clampedInt(count);
            return report->plainText();
        }
        if (boundary == QAccessible::CharBoundary) {
            qsizetype start = offset + direction;
            if (start < 0 || start >= count) {
                return {};
            }
            const QString pair = report->text(start, start + 2);
            const qsizetype length = pair.size() == 2 && pair[0].isHighSurrogate() ? 2 : 1;
            *startOffset = clampedInt(start);
            *endOffset = clampedInt(start + length);
            return pair.left(length);
        }
        qsizetype line = report->lineAt(offset) + direction;
        if (line < 0 || line >= report->lineCount()) {
            return {};
        }
        if (boundary == QAccessible::WordBoundary) {
            return wordAround(offset, direction, startOffset, endOffset);
        }
        // A line with its line feed, as text editors report it.
        const qsizetype start = report->lineStart(line);
        const qsizetype end =
            line + 1 < report->lineCount() ? report->lineStart(line + 1) : count;
        *startOffset = clampedInt(start);
        *endOffset = clampedInt(end);
        return report->text(start, end);
    }

    QString wordAround(int offset, int direction, int* startOffset, int* endOffset) const
    {
        const ReportView* report = view();
        const qsizetype line = report->lineAt(offset);
        const qsizetype lineStart = report->lineStart(line);
        const QString lineText = report->lineText(line);
        QTextBoundaryFinder words(QTextBoundaryFinder::Word, lineText);
        words.setPosition(offset - lineStart);
        qsizetype start = words.isAtBoundary() ? words.position() : words.toPreviousBoundary();
        words.setPosition(start);
        qsizetype end = words.toNextBoundary();
        if (direction < 0) {
            words.setPosition(start);
            end = start;
            start = words.toPreviousBoundary();
        } else if (direction > 0) {
            start = end;
            words.setPosition(start);
            end = words.toNextBoundary();
        }
        if (start < 0 || end < 0 || end <= start) {
            return {};
        }
        *startOffset = clampedInt(lineStart + start);
        *endOffset = clampedInt(lineStart + end);
        return lineText.mid(start, end - start);
    }
};

QAccessibleInterface* reportAccessibleFactory(const QString&, QObject* object)
{
    if (auto* view = qobject_cast<ReportView*>(object)) {
        return new ReportAccessible(view);
    }
    return nullptr;
}

} // namespace

void installReportAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(reportAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
