#pragma once

// The time-stamp attribute's text, written and read back.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quelby {

// The time-stamp attribute's text: UTC, always 20 bytes, 2024-03-09T17_05_42Z.
// Independent of locale and time zone; safe on any thread.
std::string timeStampText(std::chrono::system_clock::time_point moment);

// The second a stamp names, when it is exactly that 20-byte form and a real
// date and time; nothing for any other bytes. Also free of the time zone.
std::optional<std::chrono::sys_seconds> parsedTimeStamp(std::string_view text);

} // namespace quelby
