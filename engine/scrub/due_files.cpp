#include "engine/scrub/due_files.h"

#include <algorithm>
#include <tuple>

namespace quelby::scrub {

namespace {

bool changedSince(const SurveyedFile& file, const KnownFile& known)
{
    return file.size < 0 || file.size != known.size || file.modifiedNs != known.modifiedNs ||
           file.changedNs != known.changedNs;
}

} // namespace

// A time read back from the state may be anything, so neither the age nor the
// period may overflow: an age past the range is older than any period.
bool verifiedWithin(std::optional<Seconds> verifiedAt, Seconds now, std::int64_t everyDays)
{
    Seconds age = 0;
    Seconds period = 0;
    if (!verifiedAt || __builtin_sub_overflow(now, *verifiedAt, &age)) {
        return verifiedAt && *verifiedAt > now;
    }
    if (__builtin_mul_overflow(everyDays, kSecondsPerDay, &period)) {
        return everyDays > 0;
    }
    return age <= period;
}

std::optional<DueClass> dueClass(const SurveyedFile& file, Seconds now, std::int64_t everyDays,
                                 bool tagsNew)
{
    const KnownFile* known = file.known;
    if (known == nullptr || (known->result == LastResult::none && !known->verifiedAt)) {
        return DueClass::neverVerified;
    }
    if (isProblem(known->result) || changedSince(file, *known)) {
        return DueClass::problemOrChanged;
    }
    if (known->result == LastResult::damagedCopy) {
        return std::nullopt;
    }
    if (known->result == LastResult::noDigest) {
        // A manifest that lists it now has given it a digest without touching the file.
        if (file.hasDigest.value_or(false) || tagsNew) {
            return DueClass::problemOrChanged;
        }
        return std::nullopt;
    }
    if (!verifiedWithin(known->verifiedAt, now, everyDays)) {
        return DueClass::old;
    }
    return std::nullopt;
}

std::vector<std::size_t> dueOrder(const std::vector<SurveyedFile>& surveyed, Seconds now,
                                  std::int64_t everyDays, bool tagsNew)
{
    struct Due
    {
        DueClass dueClass;
        Seconds verifiedAt;
        std::size_t index;
    };
    std::vector<Due> due;
    for (std::size_t index = 0; index < surveyed.size(); ++index) {
        const SurveyedFile& file = surveyed[index];
        if (const auto dueAs = dueClass(file, now, everyDays, tagsNew)) {
            const Seconds verifiedAt =
                *dueAs == DueClass::old ? file.known->verifiedAt.value_or(0) : 0;
            due.push_back({*dueAs, verifiedAt, index});
        }
    }
    std::ranges::sort(due, [](const Due& a, const Due& b) {
        return std::tie(a.dueClass, a.verifiedAt, a.index) <
               std::tie(b.dueClass, b.verifiedAt, b.index);
    });
    std::vector<std::size_t> order;
    order.reserve(due.size());
    for (const Due& file : due) {
        order.push_back(file.index);
    }
    return order;
}

} // namespace quelby::scrub
