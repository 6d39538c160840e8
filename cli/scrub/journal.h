#pragma once

// A scrub's findings as structured journal entries, when the systemd journal
// is there; without one these do nothing and the report is unchanged.
// docs/scrub.md lists the MESSAGE_IDs and fields. Every entry also carries
// SYSLOG_IDENTIFIER=quelby-cli (journalctl -t) and a MESSAGE.

#include "engine/run/scrub_events.h"

namespace quelby::cli {

// Priority err, MESSAGE_ID kProblemMessageId, fields QUELBY_FOLDER,
// QUELBY_PATH (escaped as in the report), QUELBY_RESULT (the JSON result
// name), QUELBY_VERDICT (the JSON verdict name, or empty).
void journalProblem(const scrub::Problem& problem);
// Priority warning, MESSAGE_ID kGoneMessageId, QUELBY_FOLDER, QUELBY_PATH, QUELBY_RESULT=gone.
void journalGone(const scrub::Gone& gone);
// A damaged file the scrub rebuilt from its folder's parity set.
void journalHealed(const std::string& folder, const std::string& rawPath);
// Priority notice (warning when problems > 0), MESSAGE_ID kSummaryMessageId,
// QUELBY_FOLDER and the counts as fields; MESSAGE is the summary line.
void journalSummary(const scrub::FolderSummary& summary, std::string_view summaryLine);

} // namespace quelby::cli
