#include "engine/evidence/manifest_format.h"
#include "engine/platform/sys.h"
#include "engine/read/file_digest.h"
#include "engine/scrub/folder_lock.h"
#include "engine/scrub/state/state_file.h"
#include "engine/store/file_names.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace quelby::scrub {

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

FolderLock::~FolderLock()
{
    if (fd_ >= 0) {
        (void)sys::close(fd_);
    }
}

std::expected<FolderLock, FolderLock::Error> FolderLock::take(const std::string& statePath,
                                                              std::string_view folder)
{
    // Named by a digest of the device and inode behind the folder, so that
    // every spelling of it (through a link, with "..") takes one lock; by
    // its name only when there is nothing there to look at.
    std::string key(folder);
    if (const auto info = sys::fstatAt(AT_FDCWD, key, 0); info && S_ISDIR(info->st_mode)) {
        key = "device " + std::to_string(info->st_dev) + " inode " + std::to_string(info->st_ino);
    }
    const Digest digest = digestOfBytes(key);
    const std::string name =
        stateFolder(statePath) + "/" + std::string(kFolderLockPrefix) +
        lowerHex(digest.view().substr(0, 8)) + std::string(kFolderLockSuffix);
    const auto failed = [&](const PosixError& error) {
        return std::unexpected(Error{
            Failure::other, "the lock file " + name + " could not be taken: " + error.description});
    };
    if (auto made = makeStateFolder(statePath); !made) {
        return failed(made.error());
    }
    const auto opened =
        sys::createAt(AT_FDCWD, name, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (!opened) {
        return failed(notFollowed(opened.error()));
    }
    FolderLock lock(*opened);
    if (auto locked = sys::flock(lock.fd_, LOCK_EX | LOCK_NB); !locked) {
        if (locked.error().code == EWOULDBLOCK) {
            return std::unexpected(
                Error{Failure::held, "the lock file " + name + " is held by another process"});
        }
        return failed(locked.error());
    }
    return lock;
}

} // namespace quelby::scrub
