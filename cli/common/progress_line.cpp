#include "progress_line.h"

#include "engine/text/display_text.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace quelby::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr auto kLongestWithoutRedraw = std::chrono::seconds(1);
constexpr std::string_view kClearToEnd = "\x1b[K";
// Plain dots: an ellipsis character is one column wide on some terminals and two on others.
constexpr std::string_view kEllipsis = "...";

// Columns a UTF-8 character may take. East Asian wide characters and emoji
// take two; counting everything from U+1100 as two can leave a little room
// but never wraps the line, which would break the erasing.
int columnsOf(char32_t codePoint)
{
    return codePoint >= 0x1100 ? 2 : 1;
}

struct Character
{
    std::size_t length = 1;
    int columns = 1;
};

Character characterAt(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xf0 ? 4
                         : lead >= 0xe0 ? 3
                         : lead >= 0xc0 ? 2
                                        : 1;
    if (at + length > text.size()) {
        length = 1;
    }
    char32_t codePoint = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3fu);
    }
    return {length, columnsOf(codePoint)};
}

int columnsOf(std::string_view text)
{
    int columns = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Character c = characterAt(text, at);
        columns += c.columns;
        at += c.length;
    }
    return columns;
}

// The longest start of text that fits in columns, cut between characters.
std::string_view head(std::string_view text, int columns)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const Character c = characterAt(text, at);
        if (c.columns > columns) {
            break;
        }
        columns -= c.columns;
        at += c.length;
    }
    return text.substr(0, at);
}

// The longest end of text that fits in columns, cut between characters.
std::string_view tail(std::string_view text, int columns)
{
    std::vector<std::pair<std::size_t, int>> characters; // start, columns
    for (std::size_t at = 0; at < text.size();) {
        const Character c = characterAt(text, at);
        characters.emplace_back(at, c.columns);
        at += c.length;
    }
    std::size_t start = text.size();
    for (auto c = characters.rbegin(); c != characters.rend() && c->second <= columns; ++c) {
        columns -= c->second;
        start = c->first;
    }
    return text.substr(start);
}

std::string amountText(double amount, const char* unit)
{
    static constexpr const char* kPrefixes[] = {"", "k", "M", "G", "T", "P"};
    std::size_t prefix = 0;
    while (amount >= 1000.0 && prefix + 1 < std::size(kPrefixes)) {
        amount /= 1000.0;
        ++prefix;
    }
    char text[48];
    std::snprintf(text, sizeof text, prefix == 0 ? "%.0f %s%s" : "%.1f %s%s", amount,
                  kPrefixes[prefix], unit);
    return text;
}

} // namespace

std::string progressText(const RunProgress& progress, double seconds, int width)
{
    const double bytesPerSecond =
        seconds > 0.0 ? static_cast<double>(progress.bytesDone) / seconds : 0.0;
    std::string counts = std::to_string(progress.filesDone) +
                         (progress.filesDone == 1 ? " file  " : " files  ") +
                         amountText(static_cast<double>(progress.bytesDone), "B") + "  " +
                         amountText(bytesPerSecond, "B/s") + "  ";
    // The last column stays empty: writing there makes some terminals wrap.
    const int columns = width - 1;
    const int countColumns = columnsOf(counts);
    if (countColumns >= columns) {
        return std::string(head(counts, columns < 0 ? 0 : columns));
    }
    const int pathColumns = columns - countColumns;
    const std::string shown = escapedForReport(progress.currentPath);
    if (columnsOf(shown) <= pathColumns) {
        return counts + shown;
    }
    const int ellipsisColumns = static_cast<int>(kEllipsis.size());
    if (pathColumns <= ellipsisColumns) {
        return counts;
    }
    return counts + std::string(kEllipsis) +
           std::string(tail(shown, pathColumns - ellipsisColumns));
}

ProgressLine::ProgressLine(std::ostream& terminal, std::function<int()> terminalWidth,
                           Clock::time_point start)
    : terminal_(terminal), terminalWidth_(std::move(terminalWidth)), start_(start),
      lastDrawn_(start)
{
}

void ProgressLine::update(const RunProgress& progress, Clock::time_point now)
{
    if (finished_ || now - lastDrawn_ < kRedrawInterval) {
        return;
    }
    // Between files the walk names no file; the next read names one, so a
    // redraw waits for it rather than blanking the name.
    if (progress.currentPath.empty() && now - lastDrawn_ < kLongestWithoutRedraw) {
        return;
    }
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    draw(progressText(progress, seconds, terminalWidth_()));
}

void ProgressLine::erase()
{
    if (!shown_.empty()) {
        erased_ = shown_;
        draw({});
    }
}

void ProgressLine::finish()
{
    erase();
    finished_ = true;
}

void ProgressLine::restore()
{
    if (!finished_ && !erased_.empty()) {
        draw(erased_);
        erased_.clear();
    }
}

void ProgressLine::draw(const std::string& text)
{
    terminal_ << '\r' << text << kClearToEnd;
    terminal_.flush();
    shown_ = text;
}

} // namespace quelby::cli
