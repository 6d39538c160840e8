#include "engine/scrub/allowance.h"

#include <algorithm>

namespace quelby::scrub {

Allowance::Allowance(std::optional<std::chrono::seconds> time, std::optional<std::int64_t> bytes,
                     Now now)
    : now_(std::move(now)), bytesLeft_(bytes)
{
    if (time) {
        // Added as they are, a long enough time would wrap the clock's
        // nanoseconds round to a deadline already past; a deadline beyond the
        // clock's range is no deadline.
        const Clock::time_point start = now_();
        const auto room = std::chrono::duration_cast<std::chrono::seconds>(
            Clock::time_point::max() - std::max(start, Clock::time_point{}));
        if (*time < room) {
            deadline_ = start + *time;
        }
    }
}

bool Allowance::spent() const
{
    return (bytesLeft_ && *bytesLeft_ <= 0) || (deadline_ && now_() >= *deadline_);
}

void Allowance::start(std::int64_t size)
{
    if (bytesLeft_) {
        *bytesLeft_ -= std::max<std::int64_t>(size, 0);
    }
}

} // namespace quelby::scrub
