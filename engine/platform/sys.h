#pragma once

// The one layer through which the engine reaches the operating system. The
// wrappers retry EINTR, capture errno at once into the error value, and report
// a failing close. Tests replace the raw calls with a scripted fake.

#include "engine/platform/posix_error.h"

#include <cstddef>
#include <expected>
#include <poll.h>
#include <string>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

struct fiemap;

namespace quelby {

// The raw calls, with the operating system's conventions (-1 and errno).
class SystemCalls
{
public:
    virtual ~SystemCalls() = default;
    virtual int openAt(int dirFd, const char* name, int flags);
    virtual ssize_t read(int fd, void* buffer, std::size_t size);
    virtual int fstat(int fd, struct stat* info);
    virtual int fstatAt(int dirFd, const char* name, struct stat* info, int flags);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual char* realPath(const char* path, char* resolved);
    virtual struct dirent* readDirectory(DIR* stream);
    virtual ssize_t readAt(int fd, void* buffer, std::size_t size, off_t offset);
    virtual int flock(int fd, int operation);
    virtual ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size);
    virtual int setAttribute(int fd, const char* name, const void* value, std::size_t size);
    virtual int close(int fd);
    // Repair writes a new file beside a damaged one and swaps the two names.
    virtual int createAt(int dirFd, const char* name, int flags, mode_t mode);
    virtual ssize_t write(int fd, const void* buffer, std::size_t size);
    virtual int fsync(int fd);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int fchmod(int fd, mode_t mode);
    virtual int futimens(int fd, const struct timespec times[2]);
    virtual int linkAt(int fromDirFd, const char* from, int toDirFd, const char* to, int flags);
    virtual int renameAt2(int fromDirFd, const char* from, int toDirFd, const char* to,
                          unsigned int flags);
    virtual int unlinkAt(int dirFd, const char* name, int flags);
    virtual ssize_t listAttributes(int fd, char* names, std::size_t size);
    virtual int removeAttribute(int fd, const char* name);
    // Waiting for a pipe or terminal lets a stop end a read that would block.
    virtual int poll(struct pollfd* fds, nfds_t count, int timeoutMilliseconds);
    // The inode flags (FS_IOC_GETFLAGS): append-only, immutable...
    virtual int inodeFlags(int fd, int* flags);
    virtual int makeFolderAt(int dirFd, const char* name, mode_t mode);
    // Where a file's data lies on its disk (FS_IOC_FIEMAP).
    virtual int fileExtents(int fd, struct fiemap* request);
};

// Installs a replacement for the raw calls (tests only); nullptr restores the real ones.
void installSystemCalls(SystemCalls* calls);

namespace sys {

std::expected<int, PosixError> openAt(int dirFd, const std::string& name, int flags);
std::expected<std::size_t, PosixError> read(int fd, void* buffer, std::size_t size);
std::expected<struct stat, PosixError> fstat(int fd);
std::expected<struct stat, PosixError> fstatAt(int dirFd, const std::string& name, int flags);
std::expected<off_t, PosixError> lseek(int fd, off_t offset, int whence);
// The absolute path with every link resolved.
std::expected<std::string, PosixError> realPath(const std::string& path);
// The next entry of a folder's stream; none at its end.
std::expected<const dirent*, PosixError> readDirectory(DIR* stream);
std::expected<std::size_t, PosixError> readAt(int fd, void* buffer, std::size_t size,
                                              off_t offset);
std::expected<void, PosixError> flock(int fd, int operation);
std::expected<std::size_t, PosixError> getAttribute(int fd, const std::string& name, void* value,
                                                    std::size_t size);
std::expected<void, PosixError> setAttribute(int fd, const std::string& name, const void* value,
                                             std::size_t size);
std::expected<void, PosixError> close(int fd);

std::expected<int, PosixError> createAt(int dirFd, const std::string& name, int flags,
                                        mode_t mode);
// Writes all of the bytes, however many calls that takes.
std::expected<void, PosixError> writeAll(int fd, const void* buffer, std::size_t size);
std::expected<void, PosixError> fsync(int fd);
std::expected<void, PosixError> fchown(int fd, uid_t owner, gid_t group);
std::expected<void, PosixError> fchmod(int fd, mode_t mode);
std::expected<void, PosixError> futimens(int fd, const struct timespec times[2]);
std::expected<void, PosixError> linkAt(int fromDirFd, const std::string& from, int toDirFd,
                                       const std::string& to, int flags);
std::expected<void, PosixError> renameAt2(int fromDirFd, const std::string& from, int toDirFd,
                                          const std::string& to, unsigned int flags);
std::expected<void, PosixError> unlinkAt(int dirFd, const std::string& name, int flags);
// Every attribute name of the open file, each ending in a zero byte.
std::expected<std::string, PosixError> listAttributes(int fd);
std::expected<void, PosixError> removeAttribute(int fd, const std::string& name);
// Whether fd has something to read (or its end) within the timeout.
std::expected<bool, PosixError> pollReadable(int fd, int timeoutMilliseconds);
std::expected<int, PosixError> inodeFlags(int fd);
std::expected<void, PosixError> makeFolderAt(int dirFd, const std::string& name, mode_t mode);
// Fills in request's extents; the caller sizes it for fm_extent_count of them.
std::expected<void, PosixError> fileExtents(int fd, struct fiemap& request);

} // namespace sys

// Owns a descriptor and closes it when it goes; close() reports the failure instead.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    int release();
    std::expected<void, PosixError> close();

private:
    int fd_ = -1;
};

} // namespace quelby
