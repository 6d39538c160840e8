#pragma once

// Which files a scrub reads, and in what order. A file is due when no scrub
// has verified it yet, when its last verification is older than the period,
// when it changed since (size, modification or status-change time: writing a
// digest changes the last), or when its last result was a problem. Open
// problems and changed files go first, then files never verified, then those
// verified longest ago; ties keep walk order, so that files of one folder
// are read together.

#include "engine/scrub/state/scrub_state.h"
#include "engine/store/evidence_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

enum class DueClass
{
    problemOrChanged,
    neverVerified,
    old,
};

inline constexpr Seconds kSecondsPerDay = 86400;

// When file is due, and why; none when it is not.
std::optional<DueClass> dueClass(const SurveyedFile& file, Seconds now, std::int64_t everyDays);

// Whether a verification at verifiedAt still counts within the period.
bool verifiedWithin(std::optional<Seconds> verifiedAt, Seconds now, std::int64_t everyDays);

// The indexes of the due files of surveyed (in walk order), in reading order.
std::vector<std::size_t> dueOrder(const std::vector<SurveyedFile>& surveyed, Seconds now,
                                  std::int64_t everyDays);

} // namespace quelby::scrub
