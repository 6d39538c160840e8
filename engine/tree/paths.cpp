#include "engine/tree/paths.h"

namespace quelby {

std::string joinedPath(std::string_view folder, std::string_view relativePath)
{
    std::string path;
    path.reserve(folder.size() + 1 + relativePath.size()); // one allocation
    path = folder;
    if (path != "/") {
        path += '/';
    }
    path += relativePath;
    return path;
}

std::string relativePath(std::string_view folder, std::string_view path)
{
    const std::size_t prefix = folder == "/" ? 1 : folder.size() + 1;
    return std::string(path.substr(prefix));
}

} // namespace quelby
