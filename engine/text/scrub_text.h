#pragma once

// The scrub's own report lines; paths arrive escaped (display_text.h).

#include "engine/run/scrub_events.h"

#include <string>
#include <string_view>

namespace quelby::report {

// "⚠️ Gone since the last scrub: PATH", with its line feed.
std::string goneLine(std::string_view path);

// "Scrubbed V files in FOLDER: P problems; Q% of its N files verified in the
// last E days.", with its line feed; "; U files have no digest" before the
// full stop when U is not 0, then "; T new files tagged" when T is not 0.
std::string scrubSummaryLine(const scrub::FolderSummary& summary, std::string_view folder);

// "✅ Tagged new file PATH", with its line feed.
std::string taggedNewLine(std::string_view path);

// "U files have no digest", or "1 file has no digest".
std::string withoutDigestText(std::int64_t files);

// Why a folder cannot be scrubbed now: another run holds its lock. No line feed.
std::string beingScrubbedText(std::string_view folder);
// What became of a damaged state, moved aside before a new one started. No line feed.
std::string stateMovedAsideText(std::string_view statePath, std::string_view movedTo);

// A record the state held for path, which names nothing below folder. No line feed.
std::string strayRecordText(std::string_view statePath, std::string_view folder,
                            std::string_view path);

} // namespace quelby::report
