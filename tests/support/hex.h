#pragma once

// Bytes as lowercase hex digits, written apart from the engine's own so that a
// fault there shows against this. Header only: the fuzz targets link no test
// library.

#include <string>
#include <string_view>

namespace quelby::test {

inline std::string hex(std::string_view bytes)
{
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    for (const char each : bytes) {
        const auto byte = static_cast<unsigned char>(each);
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

} // namespace quelby::test
