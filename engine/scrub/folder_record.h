#pragma once

// The figures a finished scrub of a folder leaves in the state, for status,
// the metrics and the window's Folders view; the command line and the window
// save the same record after a run.

#include "engine/run/scrub_events.h"
#include "engine/scrub/state/scrub_state.h"

#include <optional>
#include <string>

namespace quelby::scrub {

// The record after a run at now; what only the desktop notification sets
// (notifiedAt) is carried over from before.
FolderRecord folderRecordAfter(const FolderSummary& summary,
                               const std::optional<FolderRecord>& before, Seconds now);

// The folder's record in the state, if it has one (or the state cannot be read).
std::optional<FolderRecord> recordOf(ScrubState& state, const std::string& folder);

} // namespace quelby::scrub
