// The system calls themselves, as the seam makes them when no test has
// installed another; engine/platform/sys.cpp checks and retries them.

#include "engine/platform/sys.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quelby {

int SystemCalls::openAt(int dirFd, const char* name, int flags)
{
    return ::openat(dirFd, name, flags);
}

ssize_t SystemCalls::read(int fd, void* buffer, std::size_t size)
{
    return ::read(fd, buffer, size);
}

int SystemCalls::fstat(int fd, struct stat* info)
{
    return ::fstat(fd, info);
}

int SystemCalls::fstatAt(int dirFd, const char* name, struct stat* info, int flags)
{
    return ::fstatat(dirFd, name, info, flags);
}

off_t SystemCalls::lseek(int fd, off_t offset, int whence)
{
    return ::lseek(fd, offset, whence);
}

char* SystemCalls::realPath(const char* path, char* resolved)
{
    return ::realpath(path, resolved);
}

struct dirent* SystemCalls::readDirectory(DIR* stream)
{
    return ::readdir(stream);
}

ssize_t SystemCalls::readAt(int fd, void* buffer, std::size_t size, off_t offset)
{
    return ::pread(fd, buffer, size, offset);
}

int SystemCalls::flock(int fd, int operation)
{
    return ::flock(fd, operation);
}

ssize_t SystemCalls::getAttribute(int fd, const char* name, void* value, std::size_t size)
{
    return ::fgetxattr(fd, name, value, size);
}

int SystemCalls::setAttribute(int fd, const char* name, const void* value, std::size_t size)
{
    return ::fsetxattr(fd, name, value, size, 0);
}

int SystemCalls::close(int fd)
{
    return ::close(fd);
}

int SystemCalls::createAt(int dirFd, const char* name, int flags, mode_t mode)
{
    return ::openat(dirFd, name, flags, mode);
}

ssize_t SystemCalls::write(int fd, const void* buffer, std::size_t size)
{
    return ::write(fd, buffer, size);
}

int SystemCalls::fsync(int fd)
{
    return ::fsync(fd);
}

int SystemCalls::fchown(int fd, uid_t owner, gid_t group)
{
    return ::fchown(fd, owner, group);
}

int SystemCalls::fchmod(int fd, mode_t mode)
{
    return ::fchmod(fd, mode);
}

int SystemCalls::futimens(int fd, const struct timespec times[2])
{
    return ::futimens(fd, times);
}

int SystemCalls::linkAt(int fromDirFd, const char* from, int toDirFd, const char* to, int flags)
{
    return ::linkat(fromDirFd, from, toDirFd, to, flags);
}

int SystemCalls::renameAt2(int fromDirFd, const char* from, int toDirFd, const char* to,
                           unsigned int flags)
{
    return ::renameat2(fromDirFd, from, toDirFd, to, flags);
}

int SystemCalls::unlinkAt(int dirFd, const char* name, int flags)
{
    return ::unlinkat(dirFd, name, flags);
}

ssize_t SystemCalls::listAttributes(int fd, char* names, std::size_t size)
{
    return ::flistxattr(fd, names, size);
}

int SystemCalls::removeAttribute(int fd, const char* name)
{
    return ::fremovexattr(fd, name);
}

int SystemCalls::poll(struct pollfd* fds, nfds_t count, int timeoutMilliseconds)
{
    return ::poll(fds, count, timeoutMilliseconds);
}

int SystemCalls::inodeFlags(int fd, int* flags)
{
    return ::ioctl(fd, FS_IOC_GETFLAGS, flags);
}

int SystemCalls::makeFolderAt(int dirFd, const char* name, mode_t mode)
{
    return ::mkdirat(dirFd, name, mode);
}

int SystemCalls::fileExtents(int fd, struct fiemap* request)
{
    return ::ioctl(fd, FS_IOC_FIEMAP, request);
}

} // namespace quelby
