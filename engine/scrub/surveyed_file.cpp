#include "engine/scrub/surveyed_file.h"

namespace quelby::scrub {

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace quelby::scrub
