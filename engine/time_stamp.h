#pragma once

#include <chrono>
#include <string>

namespace quelby {

// The time-stamp attribute's text: UTC, always 20 bytes, 2024-03-09T17_05_42Z.
// Independent of locale and time zone; safe on any thread.
std::string timeStampText(std::chrono::system_clock::time_point moment);

} // namespace quelby
