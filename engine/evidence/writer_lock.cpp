#include "engine/evidence/writer_lock.h"

#include "engine/evidence/evidence_location.h"
#include "engine/platform/sys.h"
#include "engine/store/file_names.h"
#include "engine/text/display_text.h"
#include "engine/tree/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace quelby {

std::expected<FileDescriptor, std::string> lockEvidenceWriters(int folderFd,
                                                               const std::string& folder,
                                                               const std::string& shownPath,
                                                               std::string_view what, bool* busy)
{
    const std::string lockName(kManifestLockName);
    const std::string shownLock = escapedForReport(joinedPath(folder, lockName));
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    auto opened = sys::createAt(folderFd, lockName, flags | O_CREAT | O_EXCL, 0600);
    const bool made = opened.has_value();
    if (!opened && opened.error().code == EEXIST) {
        opened = sys::openAt(folderFd, lockName, flags);
    }
    if (!opened) {
        const std::string reason = opened.error().code == ELOOP ? shownLock + " is a symbolic link"
                                                                : opened.error().description;
        return std::unexpected("Couldn't lock " + shownPath + ": " + reason);
    }
    FileDescriptor lock(*opened);
    const auto info = sys::fstat(lock.get());
    const auto folderInfo = sys::fstat(folderFd);
    if (!info || !folderInfo) {
        const PosixError& error = !info ? info.error() : folderInfo.error();
        return std::unexpected("Couldn't lock " + shownPath + ": " + error.description);
    }
    if (!S_ISREG(info->st_mode)) {
        return std::unexpected("Couldn't lock " + shownPath + ": " + shownLock +
                               " is not a regular file");
    }
    if (!trustedEvidenceFile(*info, *folderInfo)) {
        return std::unexpected("Couldn't lock " + shownPath + ": " + shownLock +
                               " belongs to another user");
    }
    // Made by root in a user's folder, it is the user's, or they could never write
    // again. One found there may be a link to any file, and is never given away.
    if (made && info->st_uid != folderInfo->st_uid) {
        (void)sys::fchown(lock.get(), folderInfo->st_uid, folderInfo->st_gid);
    }
    if (const auto locked = sys::flock(lock.get(), LOCK_EX | LOCK_NB); !locked) {
        if (locked.error().code == EWOULDBLOCK) {
            if (busy != nullptr) {
                *busy = true;
            }
            return std::unexpected(std::string(what) + " of " + escapedForReport(folder) +
                                   " is being written by another process (it holds " + shownLock +
                                   ")");
        }
        return std::unexpected("Couldn't lock " + shownPath + ": " + locked.error().description);
    }
    return lock;
}

} // namespace quelby
