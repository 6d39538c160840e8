#pragma once

// The report's lines for what went wrong outside one file's visit: a run that
// could not start, a state that could not be opened or saved, a store that
// could not be written. The programs hand the reason in words; the symbol and
// the line break are the engine's, so every such line reads the same.

#include <string>
#include <string_view>

namespace quelby::report {

// "❌ reason" and a line break.
std::string failureLine(std::string_view reason);
// "❌ path: reason" and a line break; path arrives escaped (display_text.h).
std::string failureLine(std::string_view path, std::string_view reason);
// "⚠️ what" and a line break: something the run went on after.
std::string warningLine(std::string_view what);

} // namespace quelby::report
