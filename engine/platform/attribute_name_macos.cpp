#include "attribute_name.h"

namespace quelby {

// macOS stores the names as they are; the "#S" suffix is its own flag notation.
std::string platformAttributeName(std::string_view name)
{
    return std::string(name);
}

} // namespace quelby
