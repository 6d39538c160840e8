#include "allowance.h"

#include <algorithm>

namespace quelby::scrub {

Allowance::Allowance(std::optional<std::chrono::seconds> time, std::optional<std::int64_t> bytes,
                     Now now)
    : now_(std::move(now)), bytesLeft_(bytes)
{
    if (time) {
        deadline_ = now_() + *time;
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
