#include "engine/text/display_text.h"

#include <algorithm>

namespace quelby {

namespace {

void appendHexEscape(std::string& out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 when there is none.
std::size_t validSequenceLength(std::string_view text, std::size_t i, char32_t& codePoint)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char first = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (first < 0x80) {
        codePoint = first;
        return 1;
    }
    if (first >= 0xc2 && first <= 0xdf) {
        length = 2;
        codePoint = first & 0x1fu;
        minimum = 0x80;
    } else if (first >= 0xe0 && first <= 0xef) {
        length = 3;
        codePoint = first & 0x0fu;
        minimum = 0x800;
    } else if (first >= 0xf0 && first <= 0xf4) {
        length = 4;
        codePoint = first & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xc0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(k) & 0x3fu);
    }
    if (codePoint < minimum || codePoint > 0x10ffff ||
        (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
        return 0;
    }
    return length;
}

// Code points that move, hide or reorder text without showing a mark: a name
// holding one reads the same as a name without it.
bool isHiddenControl(char32_t codePoint)
{
    return codePoint < 0x20 || codePoint == 0x7f || (codePoint >= 0x80 && codePoint <= 0x9f) ||
           codePoint == 0xad || codePoint == 0x61c || codePoint == 0x180e ||
           (codePoint >= 0x200b && codePoint <= 0x200f) ||
           (codePoint >= 0x2028 && codePoint <= 0x202e) ||
           (codePoint >= 0x2060 && codePoint <= 0x2064) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069) || codePoint == 0xfeff;
}

// Calls valid(sequence, codePoint) for each valid UTF-8 sequence of the text
// and invalid(byte) for each byte that is part of none.
template <typename Valid, typename Invalid>
void forEachSequence(std::string_view text, Valid valid, Invalid invalid)
{
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = validSequenceLength(text, i, codePoint);
        if (length == 0) {
            invalid(static_cast<unsigned char>(text[i++]));
        } else {
            valid(text.substr(i, length), codePoint);
            i += length;
        }
    }
}

} // namespace

std::string escapedForReport(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    forEachSequence(
        text,
        [&](std::string_view sequence, char32_t codePoint) {
            // The backslash itself is escaped, so a name that holds a literal
            // "\x0a" can never read like one that holds a line feed.
            if (!isHiddenControl(codePoint) && codePoint != '\\') {
                out += sequence;
                return;
            }
            for (char byte : sequence) {
                appendHexEscape(out, static_cast<unsigned char>(byte));
            }
        },
        [&](unsigned char byte) { appendHexEscape(out, byte); });
    return out;
}

bool isValidUtf8(std::string_view text)
{
    bool valid = true;
    forEachSequence(
        text, [](std::string_view, char32_t) {}, [&](unsigned char) { valid = false; });
    return valid;
}

std::string withInvalidUtf8Escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    forEachSequence(
        text, [&](std::string_view sequence, char32_t) { out += sequence; },
        [&](unsigned char byte) { appendHexEscape(out, byte); });
    return out;
}

std::string shellWord(std::string_view path)
{
    const std::string shown = escapedForReport(path);
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("/._-+,:@%=").contains(c);
    };
    if (!shown.empty() && std::ranges::all_of(shown, plain)) {
        return shown;
    }
    // The report writes a backslash only to begin an escape.
    const bool escaped = shown.contains('\\');
    std::string word = escaped ? "$'" : "'";
    for (const char c : shown) {
        if (c == '\'') {
            word += escaped ? "\\'" : "'\\''";
        } else {
            word += c;
        }
    }
    return word + "'";
}

} // namespace quelby
