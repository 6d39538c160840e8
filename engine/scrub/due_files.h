#pragma once

// Which files a scrub reads, and in what order. A file is due when no scrub
// has verified it yet, when its last verification is older than the period,
// when it changed since (size, modification or status-change time: writing a
// digest changes the last), or when its last result was a problem. Open
// problems and changed files go first, then files never verified, then those
// verified longest ago; ties keep walk order, so that files of one folder
// are read together.

#include "engine/scrub/state/scrub_state.h"
#include "engine/scrub/surveyed_file.h"
#include "engine/store/evidence_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelby::scrub {

enum class DueClass
{
    problemOrChanged,
    neverVerified,
    old,
};

inline constexpr Seconds kSecondsPerDay = 86400;

// When file is due, and why; none when it is not. A file last seen without a
// digest is due while new files are tagged (tagsNew): it may have settled since.
std::optional<DueClass> dueClass(const SurveyedFile& file, Seconds now, std::int64_t everyDays,
                                 bool tagsNew = false);

// Whether a verification at verifiedAt still counts within the period.
bool verifiedWithin(std::optional<Seconds> verifiedAt, Seconds now, std::int64_t everyDays);

// The indexes of the due files of surveyed (in walk order), in reading order.
std::vector<std::size_t> dueOrder(const std::vector<SurveyedFile>& surveyed, Seconds now,
                                  std::int64_t everyDays, bool tagsNew = false);

} // namespace quelby::scrub
