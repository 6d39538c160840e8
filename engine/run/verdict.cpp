#include "engine/run/verdict.h"

#include "engine/run/time_stamp.h"

namespace quelby {

Verdict verdictFor(const struct timespec& modified, const std::optional<std::string>& storedStamp)
{
    if (!storedStamp) {
        return Verdict::unknown;
    }
    const auto stamp = parsedTimeStamp(*storedStamp);
    if (!stamp) {
        return Verdict::unknown;
    }
    // tv_nsec is always within [0, 1 s), so the whole seconds decide.
    const auto stampSecond = stamp->time_since_epoch().count();
    if (modified.tv_sec > stampSecond) {
        return Verdict::edited;
    }
    if (modified.tv_sec < stampSecond) {
        return Verdict::damaged;
    }
    return Verdict::unknown;
}

std::string_view verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::edited:
        return "modified after it was tagged";
    case Verdict::damaged:
        return "not modified since it was tagged: possible damage";
    case Verdict::unknown:
        break;
    }
    return "no time stamp to tell";
}

std::string_view verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::edited:
        return "edited";
    case Verdict::damaged:
        return "damaged";
    case Verdict::unknown:
        break;
    }
    return "unknown";
}

} // namespace quelby
