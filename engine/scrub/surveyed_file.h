#pragma once

// One file the survey of a folder found, as the scrub keeps it: its path
// below the folder, and its times in the state's own unit.

#include "engine/scrub/state/scrub_state.h"
#include "engine/store/evidence_store.h"

#include <cstdint>
#include <memory>
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
    // What a store keyed by path knows of it; none where the store left nothing.
    std::shared_ptr<const EvidenceSlot> evidence;
    std::optional<bool> hasDigest; // known without opening the file (a manifest); else none
    // What the state knew of it before this run; none for a file new to it,
    // which is due anyway and so is not looked at before it is read.
    KnownFile* known = nullptr;
    // What this run recorded of a file new to the state.
    std::optional<KnownFile> learned;
    std::int64_t size = -1; // -1 when it could not be looked at
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;

    // The file as the state keeps it now; none for a file new to it that
    // this run has not recorded yet.
    KnownFile* current() { return known != nullptr ? known : learned ? &*learned : nullptr; }
};

// A file time in nanoseconds, as the state keeps it.
std::int64_t nanoseconds(const timespec& time);

} // namespace quelby::scrub
