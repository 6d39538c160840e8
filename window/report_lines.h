#pragma once

// A report's text kept once, as valid UTF-8 bytes, with an index of where each
// line starts in bytes and in UTF-16 code units. Appending scans only the new
// bytes; reading a line or a span converts only that part to a QString.
//
// Positions count UTF-16 code units over the whole text, as QString does.
// Each line keeps the kind its writer gave it (line_kinds.h).

#include "window/line_kinds.h"

#include <QString>
#include <string>
#include <string_view>
#include <vector>

class ReportLines {
public:
    // The text must be valid UTF-8 (see withInvalidUtf8Escaped).
    void append(KindedText utf8);
    void clear();
    // Takes away the last line when no line feed ends it yet; the text then ends in one, or is
    // empty.
    void dropOpenLine();
    // Appends source's lines first to last as they are, taking their index from source rather
    // than scanning their bytes again. The text must be empty or end in a line feed.
    void appendLines(const ReportLines& source, qsizetype first, qsizetype last);

    const std::string& utf8() const { return text_; }
    QString plainText() const;
    qsizetype characterCount() const { return unitCount_; }
    qsizetype lineCount() const { return static_cast<qsizetype>(lines_.size()); }
    // In UTF-16 units, without its line feed.
    qsizetype longestLine() const { return longestLine_; }

    // Positions are clamped to the text.
    QString text(qsizetype start, qsizetype end) const;
    // The line without its line feed.
    QString lineText(qsizetype line) const;
    qsizetype lineStart(qsizetype line) const;
    qsizetype lineEnd(qsizetype line) const; // before its line feed
    qsizetype lineAt(qsizetype position) const;
    // The line's bytes with its line feed, if it has one.
    std::string_view lineBytes(qsizetype line) const;
    LineKind lineKind(qsizetype line) const { return kinds_[static_cast<std::size_t>(line)]; }

private:
    struct Line {
        std::size_t byteStart;
        qsizetype unitStart;
    };

    void indexFrom(std::size_t byteOffset);
    std::size_t byteEnd(qsizetype line) const; // before its line feed

    std::string text_;
    std::vector<Line> lines_{{0, 0}};
    std::vector<LineKind> kinds_{LineKind::other}; // one per line
    qsizetype unitCount_ = 0;
    qsizetype longestLine_ = 0;
};
