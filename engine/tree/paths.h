#pragma once

// Paths as raw bytes: a folder and a path below it, joined and taken apart.
// The folder is absolute and normalised ("/" or without a trailing slash).

#include <string>
#include <string_view>

namespace quelby {

// The path of an entry below a folder, as reports show it before escaping.
std::string joinedPath(std::string_view folder, std::string_view relativePath);

// path below folder, without folder and its slash; path must lie below it.
std::string relativePath(std::string_view folder, std::string_view path);

} // namespace quelby
