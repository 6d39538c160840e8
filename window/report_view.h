#pragma once

// The report: a read-only text of any length that shows, selects and copies
// like a text field but keeps the text once (ReportLines) and lays out and
// draws only the lines in sight. A run's whole output (a million lines and
// more) arrives in one append and costs one scan.
//
// Positions (caret, selection, the accessibility interface) count UTF-16 code
// units over the text shown, as QString does. With only problems shown, that
// text is a second ReportLines that keeps the lines in sight; it follows each
// append and is dropped when every line is shown again.

#include "window/report_lines.h"

#include <QAbstractScrollArea>
#include <QString>
#include <QTimer>

#include <string>

class QTextLayout;

class ReportView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit ReportView(QWidget* parent = nullptr);
    ~ReportView() override;

    // The text must be valid UTF-8 (see withInvalidUtf8Escaped).
    void setText(KindedText utf8);
    void appendText(KindedText utf8);
    // Appends from a line of its own: a run's text never continues the last line of another's.
    void appendOnNewLine(KindedText utf8);

    // Hides the lines that need no attention (see isProblemOrSummary); selection, copy and the
    // accessible text then see only the lines left. The caret goes back to the start.
    void setProblemsOnly(bool problemsOnly);
    bool problemsOnly() const { return problemsOnly_; }

    double pointSize() const { return pointSize_; }
    // Re-renders the whole report in the fixed-width font at this size.
    void setPointSize(double points);

    const std::string& utf8Text() const { return shown().utf8(); }
    QString plainText() const { return shown().plainText(); }
    qsizetype characterCount() const { return shown().characterCount(); }
    qsizetype lineCount() const { return shown().lineCount(); }
    QString text(qsizetype start, qsizetype end) const { return shown().text(start, end); }
    QString lineText(qsizetype line) const { return shown().lineText(line); }
    qsizetype lineStart(qsizetype line) const { return shown().lineStart(line); }
    qsizetype lineEnd(qsizetype line) const { return shown().lineEnd(line); }
    qsizetype lineAt(qsizetype position) const { return shown().lineAt(position); }
    LineKind lineKind(qsizetype line) const { return shown().lineKind(line); }

    qsizetype cursorPosition() const { return cursor_; }
    qsizetype selectionStart() const { return std::min(anchor_, cursor_); }
    qsizetype selectionEnd() const { return std::max(anchor_, cursor_); }
    bool hasSelection() const { return anchor_ != cursor_; }
    QString selectedText() const;
    // Places the caret at position, selecting from anchor.
    void setSelection(qsizetype anchor, qsizetype position);
    void setCursorPosition(qsizetype position) { setSelection(position, position); }

    // In viewport coordinates.
    QRect characterRect(qsizetype position) const;
    qsizetype positionAt(QPoint viewportPoint) const;
    void ensurePositionVisible(qsizetype position);

public slots:
    void selectAll();
    void copy() const;

signals:
    void selectionChanged();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateMetrics();
    void updateScrollBars();
    void scrollBarsNowIfDue();
    void layoutLine(QTextLayout& layout, qsizetype line) const;
    int lineTop(qsizetype line) const;
    qsizetype stepped(qsizetype position, int direction) const;
    qsizetype movedVertically(qsizetype position, qsizetype lines) const;
    void notifyTextInserted(qsizetype position, qsizetype count);

    const ReportLines& shown() const { return problemsOnly_ ? problems_ : all_; }
    void filterNewLines();

    ReportLines all_;
    ReportLines problems_;
    bool problemsOnly_ = false;
    // The first line of all_ not yet sorted into problems_: the open last line is sorted again
    // when its end arrives.
    qsizetype sortedLines_ = 0;
    bool problemsEndOpen_ = false;
    // Many appends in a row (Tag's notices) set the scroll bars once.
    QTimer scrollBarsDue_;
    double pointSize_ = 12.0;
    int lineHeight_ = 1;
    qreal averageCharWidth_ = 1;
    qsizetype anchor_ = 0;
    qsizetype cursor_ = 0;
    bool selecting_ = false;
};
