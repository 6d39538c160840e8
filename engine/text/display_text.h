#pragma once

// How names and stored texts are made safe to show. A report line must stay
// one line, and every name must read back to exactly one name on disk. So
// each of these bytes is written as \x and two lowercase hex digits:
//   - the backslash, so that an escape can never be typed into a name;
//   - every byte that is not part of valid UTF-8;
//   - each byte of a code point that acts on the text or hides in it: C0
//     controls, DEL, C1 controls, the soft hyphen U+00AD, U+061C, U+180E,
//     U+200B-200F (zero-width spaces and joiners, direction marks), the line
//     and paragraph separators and embeddings U+2028-202E, U+2060-2064,
//     the isolates U+2066-2069 and U+FEFF.
// Every other byte stays as it is, so accented names, emoji and their
// variation selectors read as they should; the joiners U+200C and U+200D show
// as their bytes even inside an emoji sequence. The result is valid UTF-8.

#include <string>
#include <string_view>

namespace quelby {

// A path or stored text as it goes into the report.
std::string escapedForReport(std::string_view text);

// A path as one word of a command line, which a shell reads back as exactly
// that path: as it is when it holds only letters, digits and /._-+,:@%=,
// in single quotes when it holds other text, and as $'...' when the report
// escaped a byte of it, so that the shell turns each \xHH back into its byte
// (a line feed in a name never ends the command early).
std::string shellWord(std::string_view path);

// Any text made valid UTF-8 for a display: each byte that is not part of a
// valid UTF-8 sequence becomes \x and two lowercase hex digits. Names in a
// report are already so; this guards the rest of a line (the OS's error
// texts in a locale that is not UTF-8) before it reaches a text widget.
std::string withInvalidUtf8Escaped(std::string_view text);

bool isValidUtf8(std::string_view text);

} // namespace quelby
