#pragma once

// The walk: the one driver of a Check, a Tag or a Retag over a folder.

#include "engine/run/run.h"

namespace quelby {

class DigestPool;

// Walks every entry below options.folder, depth first, in byte order of names.
// With a pool and options.jobs above 1, files are digested by the pool's
// workers; the observer still hears of every entry in walk order.
RunState walkFolder(const RunOptions& options, RunObserver& observer,
                    DigestPool* pool = nullptr);

} // namespace quelby
