#pragma once

// The report: a read-only text of any length that shows, selects and copies
// like a text field but keeps the text once, as UTF-8 bytes with an index of
// line starts, and lays out and draws only the lines in sight. A run's whole
// output (a million lines and more) arrives in one append and costs one scan.
//
// Positions (caret, selection, the accessibility interface) count UTF-16 code
// units over the whole text, as QString does.

#include <QAbstractScrollArea>
#include <QString>

#include <string>
#include <vector>

class QTextLayout;

class ReportView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit ReportView(QWidget* parent = nullptr);
    ~ReportView() override;

    // The text must be valid UTF-8 (see withInvalidUtf8Escaped).
    void setText(std::string utf8);
    void appendText(std::string utf8);

    double pointSize() const { return pointSize_; }
    // Re-renders the whole report in the fixed-width font at this size.
    void setPointSize(double points);

    const std::string& utf8Text() const { return text_; }
    QString plainText() const;
    qsizetype characterCount() const { return unitCount_; }
    qsizetype lineCount() const { return static_cast<qsizetype>(lines_.size()); }
    // Positions are clamped to the text.
    QString text(qsizetype start, qsizetype end) const;
    // The line without its line feed.
    QString lineText(qsizetype line) const;
    qsizetype lineStart(qsizetype line) const;
    qsizetype lineEnd(qsizetype line) const; // before its line feed
    qsizetype lineAt(qsizetype position) const;

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
    struct Line {
        std::size_t byteStart;
        qsizetype unitStart;
    };

    void indexFrom(std::size_t byteOffset);
    void updateMetrics();
    void updateScrollBars();
    void layoutLine(QTextLayout& layout, qsizetype line) const;
    int lineTop(qsizetype line) const;
    qsizetype stepped(qsizetype position, int direction) const;
    qsizetype movedVertically(qsizetype position, qsizetype lines) const;
    void notifyTextInserted(qsizetype position, qsizetype count);

    std::string text_;
    std::vector<Line> lines_{{0, 0}};
    qsizetype unitCount_ = 0;
    qsizetype longestLine_ = 0; // in UTF-16 units
    double pointSize_ = 12.0;
    int lineHeight_ = 1;
    qreal averageCharWidth_ = 1;
    qsizetype anchor_ = 0;
    qsizetype cursor_ = 0;
    bool selecting_ = false;
};
