#pragma once

// How names and stored texts are made safe to show. A report line must stay
// one line and show what is on disk: control bytes, C1 controls, line and
// paragraph separators and bidirectional controls are written as \x and two
// lowercase hex digits per byte; every other byte stays as it is.

#include <string>
#include <string_view>

namespace quelby {

// A path or stored text as it goes into the report.
std::string escapedForReport(std::string_view text);

// The report text made valid UTF-8 for a display: each byte that is not part
// of a valid UTF-8 sequence becomes \x and two lowercase hex digits.
std::string withInvalidUtf8Escaped(std::string_view text);

bool isValidUtf8(std::string_view text);

} // namespace quelby
