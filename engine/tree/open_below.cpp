#include "engine/tree/open_below.h"

#include <fcntl.h>

namespace quelby {

SplitPath splitPath(std::string_view relativePath)
{
    const auto slash = relativePath.rfind('/');
    if (slash == std::string_view::npos) {
        return {{}, relativePath};
    }
    return {relativePath.substr(0, slash), relativePath.substr(slash + 1)};
}

std::expected<FileDescriptor, PosixError> openFolderBelow(int root, std::string_view relativeFolder)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    auto opened = sys::openAt(root, ".", flags);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    FileDescriptor folder(*opened);
    std::size_t start = 0;
    while (start < relativeFolder.size()) {
        auto end = relativeFolder.find('/', start);
        if (end == std::string_view::npos) {
            end = relativeFolder.size();
        }
        const std::string name(relativeFolder.substr(start, end - start));
        start = end + 1;
        if (name.empty()) {
            continue;
        }
        auto child = sys::openAt(folder.get(), name, flags);
        if (!child) {
            return std::unexpected(child.error());
        }
        folder = FileDescriptor(*child);
    }
    return folder;
}

} // namespace quelby
