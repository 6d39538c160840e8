#include "window/report_lines.h"

#include <algorithm>
#include <cstring>

namespace {

// UTF-16 code units of valid UTF-8 bytes: one per sequence, two for four-byte sequences.
qsizetype utf16Units(const char* begin, const char* end)
{
    qsizetype units = 0;
    for (const char* p = begin; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        units += static_cast<qsizetype>((byte & 0xC0u) != 0x80u) +
                 static_cast<qsizetype>(byte >= 0xF0u);
    }
    return units;
}

} // namespace

void ReportLines::append(KindedText utf8)
{
    if (utf8.empty()) {
        return;
    }
    const std::size_t oldBytes = text_.size();
    // An open line keeps the kind it started with; an empty one takes the new first line's.
    if (lines_.back().byteStart == oldBytes) {
        kinds_.back() = utf8.kinds().front();
    }
    kinds_.insert(kinds_.end(), utf8.kinds().begin() + 1, utf8.kinds().end());
    if (text_.empty()) {
        text_ = std::move(utf8).text();
    } else {
        text_.append(utf8.text());
    }
    indexFrom(oldBytes);
}

void ReportLines::clear()
{
    text_.clear();
    text_.shrink_to_fit();
    lines_.assign(1, Line{0, 0});
    lines_.shrink_to_fit();
    kinds_.assign(1, LineKind::other);
    kinds_.shrink_to_fit();
    unitCount_ = 0;
    longestLine_ = 0;
}

// The longest line is left as it was: the scroll bars only need an upper bound.
void ReportLines::dropOpenLine()
{
    const Line& open = lines_.back();
    text_.resize(open.byteStart);
    unitCount_ = open.unitStart;
}

void ReportLines::appendLines(const ReportLines& source, qsizetype first, qsizetype last)
{
    const auto from = static_cast<std::size_t>(first);
    const auto after = static_cast<std::size_t>(last) + 1;
    const bool whole = after < source.lines_.size(); // the last line has its line feed
    const Line begin = source.lines_[from];
    const Line end = whole ? source.lines_[after] : Line{source.text_.size(), source.unitCount_};
    const std::size_t oldBytes = text_.size();
    const qsizetype oldUnits = unitCount_;
    text_.append(source.text_, begin.byteStart, end.byteStart - begin.byteStart);
    kinds_.back() = source.kinds_[from];
    for (std::size_t line = from; line < after; ++line) {
        const Line next = line + 1 < source.lines_.size()
                              ? source.lines_[line + 1]
                              : Line{source.text_.size(), source.unitCount_ + 1};
        longestLine_ = std::max(longestLine_, next.unitStart - source.lines_[line].unitStart - 1);
        if (line + 1 < after || whole) {
            lines_.push_back(Line{next.byteStart - begin.byteStart + oldBytes,
                                  next.unitStart - begin.unitStart + oldUnits});
            kinds_.push_back(source.kinds_[line + 1]);
        }
    }
    unitCount_ = end.unitStart - begin.unitStart + oldUnits;
}

void ReportLines::indexFrom(std::size_t byteOffset)
{
    const char* const bytes = text_.data();
    const char* const end = bytes + text_.size();
    const char* p = bytes + byteOffset;
    qsizetype units = unitCount_;
    while (p != end) {
        const auto* lineFeed =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* segmentEnd = lineFeed ? lineFeed : end;
        units += utf16Units(p, segmentEnd);
        longestLine_ = std::max(longestLine_, units - lines_.back().unitStart);
        if (!lineFeed) {
            break;
        }
        units += 1;
        p = lineFeed + 1;
        lines_.push_back(Line{static_cast<std::size_t>(p - bytes), units});
    }
    unitCount_ = units;
}

QString ReportLines::plainText() const
{
    return QString::fromUtf8(text_.data(), static_cast<qsizetype>(text_.size()));
}

qsizetype ReportLines::lineAt(qsizetype position) const
{
    const auto after = std::upper_bound(
        lines_.begin(), lines_.end(), position,
        [](qsizetype value, const Line& line) { return value < line.unitStart; });
    return std::max<qsizetype>(0, (after - lines_.begin()) - 1);
}

qsizetype ReportLines::lineStart(qsizetype line) const
{
    return lines_[static_cast<std::size_t>(line)].unitStart;
}

qsizetype ReportLines::lineEnd(qsizetype line) const
{
    const auto next = static_cast<std::size_t>(line + 1);
    return next < lines_.size() ? lines_[next].unitStart - 1 : unitCount_;
}

std::size_t ReportLines::byteEnd(qsizetype line) const
{
    const auto next = static_cast<std::size_t>(line + 1);
    return next < lines_.size() ? lines_[next].byteStart - 1 : text_.size();
}

std::string_view ReportLines::lineBytes(qsizetype line) const
{
    const std::size_t begin = lines_[static_cast<std::size_t>(line)].byteStart;
    const auto next = static_cast<std::size_t>(line + 1);
    const std::size_t end = next < lines_.size() ? lines_[next].byteStart : text_.size();
    return std::string_view(text_).substr(begin, end - begin);
}

QString ReportLines::lineText(qsizetype line) const
{
    const std::size_t begin = lines_[static_cast<std::size_t>(line)].byteStart;
    return QString::fromUtf8(text_.data() + begin, static_cast<qsizetype>(byteEnd(line) - begin));
}

QString ReportLines::text(qsizetype start, qsizetype end) const
{
    start = std::clamp<qsizetype>(start, 0, unitCount_);
    end = std::clamp<qsizetype>(end, start, unitCount_);
    if (start == end) {
        return {};
    }
    const qsizetype firstLine = lineAt(start);
    const qsizetype lastLine = lineAt(end);
    const std::size_t begin = lines_[static_cast<std::size_t>(firstLine)].byteStart;
    // The last line is taken with its line feed, if it has one.
    const std::size_t next = static_cast<std::size_t>(lastLine + 1);
    const std::size_t finish = next < lines_.size() ? lines_[next].byteStart : text_.size();
    const QString span =
        QString::fromUtf8(text_.data() + begin, static_cast<qsizetype>(finish - begin));
    return span.mid(start - lineStart(firstLine), end - start);
}
