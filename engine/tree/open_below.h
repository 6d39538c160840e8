#pragma once

// Reaching a file below a folder already open, one name at a time, without
// following a link on the way: a folder swapped for a link since the walk
// fails instead of leading the repair, or its search for a copy, elsewhere.

#include "engine/platform/posix_error.h"
#include "engine/platform/sys.h"

#include <expected>
#include <string>
#include <string_view>

namespace quelby {

// A relative path taken apart into its folder (maybe empty) and its last name.
struct SplitPath
{
    std::string_view folder;
    std::string_view name;
};

SplitPath splitPath(std::string_view relativePath);

// Opens the folder at relativeFolder (empty: root itself, reopened) below root.
std::expected<FileDescriptor, PosixError> openFolderBelow(int root, std::string_view relativeFolder);

} // namespace quelby
