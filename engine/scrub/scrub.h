#pragma once

// One scrub of one folder: a survey of the tree that reads no contents, then
// a Check of the files that are due, in due order, while the run's allowance
// lasts; what it learns goes into the state. Files the state knew that are
// gone are named once and forgotten. Check's report lines are the scrub's.

#include "engine/run/run.h"
#include "engine/run/scrub_events.h"
#include "engine/scrub/allowance.h"
#include "engine/scrub/scrub_options.h"
#include "engine/scrub/state/scrub_state.h"

#include <cstdint>
#include <expected>
#include <string>

namespace quelby {
class DigestPool;
}

namespace quelby::scrub {

struct ScrubResult
{
    FolderSummary summary;
    RunState state; // Check's counts over the entries the scrub reported
};

// The error is the state's, in words; what was learnt before it stays in the state.
std::expected<ScrubResult, std::string> scrubFolder(const ScrubOptions& options, ScrubState& state,
                                                    Allowance& allowance, ScrubObserver& observer,
                                                    DigestPool* pool);

} // namespace quelby::scrub
