#pragma once

#include "engine/platform/sys.h"

#include <cerrno>
#include <climits>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace quelby::test {

// The real system calls, except where a test scripts one. Installed for the
// lifetime of the object.
class ScriptedSystemCalls : public SystemCalls
{
public:
    ScriptedSystemCalls() { installSystemCalls(this); }
    ~ScriptedSystemCalls() override { installSystemCalls(nullptr); }
    ScriptedSystemCalls(const ScriptedSystemCalls&) = delete;
    ScriptedSystemCalls& operator=(const ScriptedSystemCalls&) = delete;

    // Each hook, when set, replaces the call; it may call the real one through SystemCalls::.
    std::function<int(int dirFd, const char* name, int flags)> onOpenAt;
    std::function<ssize_t(int fd, void* buffer, std::size_t size)> onRead;
    std::function<ssize_t(int fd, void* buffer, std::size_t size, off_t offset)> onReadAt;
    std::function<ssize_t(int fd, const char* name, void* value, std::size_t size)> onGetAttribute;
    std::function<int(int fd, const char* name, const void* value, std::size_t size)>
        onSetAttribute;

    std::function<int(int fd, struct fiemap* request)> onFileExtents;

    int openAt(int dirFd, const char* name, int flags) override
    {
        return onOpenAt ? onOpenAt(dirFd, name, flags) : SystemCalls::openAt(dirFd, name, flags);
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override
    {
        return onRead ? onRead(fd, buffer, size) : SystemCalls::read(fd, buffer, size);
    }
    ssize_t readAt(int fd, void* buffer, std::size_t size, off_t offset) override
    {
        return onReadAt ? onReadAt(fd, buffer, size, offset)
                        : SystemCalls::readAt(fd, buffer, size, offset);
    }
    int fileExtents(int fd, struct fiemap* request) override
    {
        return onFileExtents ? onFileExtents(fd, request) : SystemCalls::fileExtents(fd, request);
    }
    ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size) override
    {
        return onGetAttribute ? onGetAttribute(fd, name, value, size)
                              : SystemCalls::getAttribute(fd, name, value, size);
    }
    // Called before each call that changes what is on disk (or makes it
    // durable), with the call's name: an errno it returns fails the call,
    // 0 lets it run.
    std::function<int(std::string_view call)> onChange;

    int setAttribute(int fd, const char* name, const void* value, std::size_t size) override
    {
        if (onSetAttribute) {
            return onSetAttribute(fd, name, value, size);
        }
        return changed("setAttribute", [&] { return SystemCalls::setAttribute(fd, name, value, size); });
    }
    int createAt(int dirFd, const char* name, int flags, mode_t mode) override
    {
        return changed("createAt", [&] { return SystemCalls::createAt(dirFd, name, flags, mode); });
    }
    ssize_t write(int fd, const void* buffer, std::size_t size) override
    {
        return changed("write", [&] { return SystemCalls::write(fd, buffer, size); });
    }
    int fsync(int fd) override
    {
        return changed("fsync", [&] { return SystemCalls::fsync(fd); });
    }
    int fchown(int fd, uid_t owner, gid_t group) override
    {
        return changed("fchown", [&] { return SystemCalls::fchown(fd, owner, group); });
    }
    int fchmod(int fd, mode_t mode) override
    {
        return changed("fchmod", [&] { return SystemCalls::fchmod(fd, mode); });
    }
    int futimens(int fd, const struct timespec times[2]) override
    {
        return changed("futimens", [&] { return SystemCalls::futimens(fd, times); });
    }
    int linkAt(int fromDirFd, const char* from, int toDirFd, const char* to, int flags) override
    {
        return changed("linkAt",
                       [&] { return SystemCalls::linkAt(fromDirFd, from, toDirFd, to, flags); });
    }
    int renameAt2(int fromDirFd, const char* from, int toDirFd, const char* to,
                  unsigned int flags) override
    {
        return changed("renameAt2",
                       [&] { return SystemCalls::renameAt2(fromDirFd, from, toDirFd, to, flags); });
    }
    int unlinkAt(int dirFd, const char* name, int flags) override
    {
        return changed("unlinkAt", [&] { return SystemCalls::unlinkAt(dirFd, name, flags); });
    }
    int makeFolderAt(int dirFd, const char* name, mode_t mode) override
    {
        return changed("makeFolderAt", [&] { return SystemCalls::makeFolderAt(dirFd, name, mode); });
    }
    int removeAttribute(int fd, const char* name) override
    {
        return changed("removeAttribute", [&] { return SystemCalls::removeAttribute(fd, name); });
    }
    ssize_t realRead(int fd, void* buffer, std::size_t size)
    {
        return SystemCalls::read(fd, buffer, size);
    }

private:
    template <typename Call> auto changed(std::string_view call, Call real) -> decltype(real())
    {
        if (onChange) {
            if (const int error = onChange(call); error != 0) {
                errno = error;
                return -1;
            }
        }
        return real();
    }
};

// The path a descriptor was opened with, as a scripted call sees it; empty when unknown.
inline std::string openedPath(int fd)
{
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return ::readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

} // namespace quelby::test
