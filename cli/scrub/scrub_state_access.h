#pragma once

// Where scrub and status find the scrub's state, and opening it with what
// the user must hear on the way.

#include "cli/common/environment.h"
#include "cli/options/options.h"
#include "engine/scrub/scrub_session.h"
#include "engine/scrub/state/scrub_state.h"

#include <expected>
#include <memory>
#include <ostream>
#include <string>

namespace quelby::cli {

// The folder typed, as the state keys it: its real path, so that every
// spelling of it (through a link, say) shares one record. A folder that is
// not there keeps its absolute spelling, for the walk to report.
std::expected<std::string, int> realFolder(const std::string& typed, std::ostream& err,
                                           const CliEnvironment& environment);

// --state FILE made absolute, or the default; otherwise the exit status,
// after the reason is said on err.
std::expected<std::string, int> scrubStatePath(const CliOptions& options, std::ostream& err,
                                               const CliEnvironment& environment);

// What opening the state tells on err: one line for a damaged state moved
// aside, one for each record dropped.
scrub::ScrubSession::StateNotices stateNotices(const std::string& path, std::ostream& err);

// A damaged state is moved aside with one line on err, and each record that
// names no path below its folder is dropped with one line; one that cannot be
// opened gives the exit status, after the reason is said on err.
std::expected<std::unique_ptr<scrub::ScrubState>, int> openScrubState(const std::string& path,
                                                                      std::ostream& err);

} // namespace quelby::cli
