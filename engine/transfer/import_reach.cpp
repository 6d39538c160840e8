#include "engine/transfer/import_reach.h"

#include <cerrno>
#include <fcntl.h>

namespace quelby {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

Reached reachedAs(Reached::Kind kind, std::string reason = {})
{
    Reached reached;
    reached.kind = kind;
    reached.reason = std::move(reason);
    return reached;
}

// Why a name below folder could not be opened: gone, a link (never followed
// on the way), or the system's own reason.
Reached whyNotOpened(int folder, const std::string& name, const PosixError& error)
{
    const auto info = sys::fstatAt(folder, name, AT_SYMLINK_NOFOLLOW);
    if (!info && info.error().code == ENOENT) {
        return reachedAs(Reached::Kind::missing);
    }
    if (info && S_ISLNK(info->st_mode)) {
        return reachedAs(Reached::Kind::leaves);
    }
    return reachedAs(Reached::Kind::failed, error.description);
}

} // namespace

std::expected<std::shared_ptr<const FileDescriptor>, Reached>
reachFolder(int root, std::string_view folderKey)
{
    auto opened = sys::openAt(root, ".", kFolderFlags);
    if (!opened) {
        return std::unexpected(reachedAs(Reached::Kind::failed, opened.error().description));
    }
    auto folder = std::make_shared<const FileDescriptor>(*opened);
    std::size_t start = 0;
    while (start < folderKey.size()) {
        std::size_t slash = folderKey.find('/', start);
        if (slash == std::string_view::npos) {
            slash = folderKey.size();
        }
        const std::string name(folderKey.substr(start, slash - start));
        start = slash + 1;
        auto child = sys::openAt(folder->get(), name, kFolderFlags);
        if (!child) {
            return std::unexpected(whyNotOpened(folder->get(), name, child.error()));
        }
        folder = std::make_shared<const FileDescriptor>(*child);
    }
    return folder;
}

Reached reach(int root, const std::string& key, const TreeRules& rules,
              PseudoFileSystems& pseudoFileSystems)
{
    if (key.empty()) {
        return reachedAs(Reached::Kind::special);
    }
    const std::size_t slash = key.rfind('/');
    auto folder =
        reachFolder(root, slash == std::string::npos ? std::string_view()
                                                     : std::string_view(key).substr(0, slash));
    if (!folder) {
        return std::move(folder.error());
    }
    const std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
    const auto info = sys::fstatAt((*folder)->get(), name, AT_SYMLINK_NOFOLLOW);
    if (!info) {
        return info.error().code == ENOENT
                   ? reachedAs(Reached::Kind::missing)
                   : reachedAs(Reached::Kind::failed, info.error().description);
    }
    const EntryToVisit entry{*folder, name, key, S_ISLNK(info->st_mode), {}};
    Reached reached;
    reached.opened = openEntry(entry, rules, pseudoFileSystems);
    switch (reached.opened.kind) {
    case OpenedEntry::Kind::file:
        reached.kind = Reached::Kind::file;
        break;
    case OpenedEntry::Kind::special:
    case OpenedEntry::Kind::folder:
        reached.kind = Reached::Kind::special;
        break;
    case OpenedEntry::Kind::outside:
        reached.kind = Reached::Kind::leaves;
        break;
    case OpenedEntry::Kind::failed:
        reached.kind = Reached::Kind::failed;
        reached.reason = reached.opened.reason;
        break;
    }
    return reached;
}

bool sameFileAsRead(const struct stat& read, const struct stat& now)
{
    const auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return read.st_dev == now.st_dev && read.st_ino == now.st_ino && read.st_size == now.st_size &&
           same(read.st_mtim, now.st_mtim) && same(read.st_ctim, now.st_ctim);
}

} // namespace quelby
