#include "engine/run/entry_open.h"

#include "engine/read/file_digest.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quelby {

namespace {

// Not every kernel header names it.
constexpr unsigned long kConfigFsMagic = 0x62656570;

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr std::string_view kNoProc =
    "the link's target cannot be reopened safely: /proc is not mounted";

bool isPseudoFileSystem(int fd)
{
    struct statfs info = {};
    if (::fstatfs(fd, &info) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case kConfigFsMagic:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
        return true;
    default:
        return false;
    }
}

std::string procPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

OpenedEntry failed(std::string reason)
{
    OpenedEntry entry;
    entry.kind = OpenedEntry::Kind::failed;
    entry.reason = std::move(reason);
    return entry;
}

OpenedEntry ofKind(OpenedEntry::Kind kind)
{
    OpenedEntry entry;
    entry.kind = kind;
    return entry;
}

bool beneath(const std::string& path, const std::string& folder)
{
    if (folder.empty()) {
        return false;
    }
    if (folder == "/") {
        return path.starts_with('/');
    }
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

// A regular file looked at through a path-only descriptor, opened for
// reading through /proc: the same file (device and inode) or none.
OpenedEntry reopenForReading(const FileDescriptor& path, const struct stat& info,
                             bool throughLink)
{
    auto reopened = sys::openAt(AT_FDCWD, procPath(path.get()), kReadFlags);
    if (!reopened) {
        return failed(reopened.error().code == ENOENT ? std::string(kNoProc)
                                                      : reopened.error().description);
    }
    OpenedEntry result;
    result.throughLink = throughLink;
    result.file = FileDescriptor(*reopened);
    const auto again = sys::fstat(result.file.get());
    if (!again) {
        return failed(again.error().description);
    }
    if (again->st_dev != info.st_dev || again->st_ino != info.st_ino) {
        return failed(std::string(kFileChangedWhileRead));
    }
    result.info = *again;
    result.kind = OpenedEntry::Kind::file;
    return result;
}

OpenedEntry openLinkTarget(const EntryToVisit& entry, const TreeRules& rules,
                           PseudoFileSystems& pseudoFileSystems);

// The entry itself as a mere path, its link not followed; reopened for
// reading only when it is a regular file.
OpenedEntry openPathFirst(const EntryToVisit& entry, const TreeRules& rules,
                          PseudoFileSystems& pseudoFileSystems)
{
    auto opened = sys::openAt(entry.folder->get(), entry.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (!opened) {
        return failed(opened.error().description);
    }
    const FileDescriptor path(*opened);
    const auto info = sys::fstat(path.get());
    if (!info) {
        return failed(info.error().description);
    }
    if (S_ISLNK(info->st_mode)) {
        return openLinkTarget(entry, rules, pseudoFileSystems);
    }
    if (!S_ISREG(info->st_mode) || pseudoFileSystems.contains(info->st_dev, path.get())) {
        return ofKind(S_ISDIR(info->st_mode) ? OpenedEntry::Kind::folder
                                             : OpenedEntry::Kind::special);
    }
    return reopenForReading(path, *info, false);
}

// A link's target: looked at through a path-only descriptor, which opens
// nothing, and reopened for reading only when it is a regular file.
OpenedEntry openLinkTarget(const EntryToVisit& entry, const TreeRules& rules,
                           PseudoFileSystems& pseudoFileSystems)
{
    auto opened = sys::openAt(entry.folder->get(), entry.name, O_PATH | O_CLOEXEC);
    if (!opened) {
        return failed(opened.error().description);
    }
    const FileDescriptor target(*opened);
    const auto info = sys::fstat(target.get());
    if (!info) {
        return failed(info.error().description);
    }
    if (S_ISDIR(info->st_mode)) {
        return ofKind(OpenedEntry::Kind::folder);
    }
    if (!S_ISREG(info->st_mode) || pseudoFileSystems.contains(info->st_dev, target.get())) {
        return ofKind(OpenedEntry::Kind::special);
    }
    if (rules.targetsBeneathFolder) {
        const std::string real = realPathOf(target.get());
        if (real.empty()) {
            return failed(std::string(kNoProc));
        }
        if (!beneath(real, rules.realFolder)) {
            return ofKind(OpenedEntry::Kind::outside);
        }
    }
    return reopenForReading(target, *info, true);
}

} // namespace

bool PseudoFileSystems::contains(dev_t device, int fd)
{
    if (firstDevice_.load(std::memory_order_acquire) == device) {
        return firstIsPseudo_;
    }
    const std::lock_guard lock(mutex_);
    const auto known = known_.find(device);
    if (known != known_.end()) {
        return known->second;
    }
    const bool pseudo = isPseudoFileSystem(fd);
    known_.emplace(device, pseudo);
    if (firstDevice_.load(std::memory_order_relaxed) == kNoDevice) {
        firstIsPseudo_ = pseudo;
        firstDevice_.store(device, std::memory_order_release);
    }
    return pseudo;
}

std::string realPathOf(int fd)
{
    std::string path(PATH_MAX, '\0');
    for (;;) {
        const ssize_t length = ::readlink(procPath(fd).c_str(), path.data(), path.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

OpenedEntry openEntry(const EntryToVisit& entry, const TreeRules& rules,
                      PseudoFileSystems& pseudoFileSystems)
{
    if (entry.listedAsLink) {
        return openLinkTarget(entry, rules, pseudoFileSystems);
    }
    if (rules.pathFirst) {
        return openPathFirst(entry, rules, pseudoFileSystems);
    }
    auto opened = sys::openAt(entry.folder->get(), entry.name, kReadFlags | O_NOFOLLOW);
    if (!opened) {
        // A link put in the file's place since the listing is taken as a link.
        if (opened.error().code == ELOOP) {
            return openLinkTarget(entry, rules, pseudoFileSystems);
        }
        return failed(opened.error().description);
    }
    OpenedEntry result;
    result.file = FileDescriptor(*opened);
    const auto info = sys::fstat(result.file.get());
    if (!info) {
        return failed(info.error().description);
    }
    // A FIFO put in the file's place was opened without blocking; it is closed unread.
    if (!S_ISREG(info->st_mode) || pseudoFileSystems.contains(info->st_dev, result.file.get())) {
        return ofKind(OpenedEntry::Kind::special);
    }
    result.info = *info;
    result.kind = OpenedEntry::Kind::file;
    return result;
}

} // namespace quelby
