#include "engine/store/repair_marks.h"

namespace quelby {

bool isRepairTemporaryName(std::string_view name)
{
    constexpr std::size_t kHexDigits = 8;
    if (name.size() != kRepairTemporaryPrefix.size() + kHexDigits ||
        !name.starts_with(kRepairTemporaryPrefix)) {
        return false;
    }
    for (const char digit : name.substr(kRepairTemporaryPrefix.size())) {
        if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string damagedMarkValue(std::string_view formerName, std::string_view timeStamp)
{
    std::string value(formerName);
    value += '\n';
    value += timeStamp;
    return value;
}

} // namespace quelby
