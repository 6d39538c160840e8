#pragma once

// How the names of the tag attributes are spelled on this platform.

#include <string>
#include <string_view>

namespace quelby {

// The name under which this platform stores an attribute. Linux keeps
// unprivileged attributes in the "user." namespace.
std::string platformAttributeName(std::string_view name);

} // namespace quelby
