#pragma once

// The scrub's own report lines; paths arrive escaped (display_text.h).

#include "engine/run/scrub_events.h"
#include "engine/run/verdict.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby::report {

// "⚠️ Gone since the last scrub: PATH", with its line feed.
std::string goneLine(std::string_view path);

// "1 file", "2 files": the count and its noun, singular for one.
std::string counted(std::int64_t count, std::string_view one, std::string_view many);

// "Scrubbed V files in FOLDER: P problems; Q% of its N files verified in the
// last E days.", with its line feed, each noun singular for one; "; U files
// have no digest" before the full stop when U is not 0, then "; T new files
// tagged" when T is not 0.
std::string scrubSummaryLine(const scrub::FolderSummary& summary, std::string_view folder);

// "✅ Tagged new file PATH", with its line feed.
std::string taggedNewLine(std::string_view path);

// "Q% of its N files verified in the last E days", as the summary and status say it.
std::string periodText(std::int64_t percent, std::int64_t files, std::int64_t everyDays);

// What to do about an open problem of the scrubbed folder (raw bytes), each
// step "WORD: WHAT", the folder one word of a command line (shellWord): a
// repair for damage, from the parity set of the file's folder (hasParity) or
// else from a copy; retag for an edit; both for an unknown verdict or none
// (the repair with --also-unknown, without which repair leaves the file);
// and for a read failure, which a repair cannot mend, where to look.
std::vector<std::string> nextSteps(bool readFailed, std::optional<Verdict> verdict, bool hasParity,
                                   std::string_view folder);

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
