#pragma once

// A problem the user resolved from the app, one file at a time: a repair from
// an intact copy, or an edit accepted by retagging. The file matches its
// digest again, so the state learns it as verified now, and the folder's
// count of open problems follows.

#include "engine/scrub/state/scrub_state.h"

#include <expected>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby::scrub {

// path is relative to folder; file is the file as it is after the repair or retag.
std::expected<void, std::string> closeProblem(ScrubState& state, std::string_view folder,
                                              std::string_view path, const struct stat& file,
                                              Seconds now);

} // namespace quelby::scrub
