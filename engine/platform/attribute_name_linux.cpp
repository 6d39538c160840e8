#include "engine/platform/attribute_name.h"

namespace quelby {

std::string platformAttributeName(std::string_view name)
{
    std::string stored = "user.";
    stored += name;
    return stored;
}

} // namespace quelby
