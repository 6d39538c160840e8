#pragma once

// One file the survey of a folder found, as the scrub keeps it: its path
// below the folder, and its times in the state's own unit.

#include "engine/scrub/state/scrub_state.h"
#include "engine/store/evidence_store.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quelby::scrub {

// One file the survey of a folder found.
struct SurveyedFile
{
    std::string relativePath; // below the folder, raw bytes
    bool listedAsLink = false;
    EvidenceSlot evidence;         // what a store keyed by path knows of it
    std::optional<bool> hasDigest; // known without opening the file (a manifest); else none
    // What the state knew of it before this run; none for a file new to it,
    // which is due anyway and so is not looked at before it is read.
    KnownFile* known = nullptr;
    std::int64_t size = -1; // -1 when it could not be looked at
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
};

// A file time in nanoseconds, as the state keeps it.
std::int64_t nanoseconds(const timespec& time);

} // namespace quelby::scrub
