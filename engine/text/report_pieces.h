#pragma once

// The pieces every report line is built from: its symbol and plain concatenation.

#include <initializer_list>
#include <string>
#include <string_view>

namespace quelby::report {

inline constexpr std::string_view kWarning = "\xE2\x9A\xA0\xEF\xB8\x8F "; // ⚠️ and a space
inline constexpr std::string_view kTick = "\xE2\x9C\x85 ";                // ✅ and a space
inline constexpr std::string_view kCross = "\xE2\x9D\x8C ";               // ❌ and a space

inline std::string join(std::initializer_list<std::string_view> pieces)
{
    std::size_t length = 0;
    for (auto piece : pieces) {
        length += piece.size();
    }
    std::string text;
    text.reserve(length);
    for (auto piece : pieces) {
        text += piece;
    }
    return text;
}

} // namespace quelby::report
