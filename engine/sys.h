#pragma once

// The one layer through which the engine reaches the operating system. The
// wrappers retry EINTR, capture errno at once into the error value, and report
// a failing close. Tests replace the raw calls with a scripted fake.

#include "posix_error.h"

#include <cstddef>
#include <expected>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

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
    virtual ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size);
    virtual int setAttribute(int fd, const char* name, const void* value, std::size_t size);
    virtual int close(int fd);
};

// Installs a replacement for the raw calls (tests only); nullptr restores the real ones.
void installSystemCalls(SystemCalls* calls);

namespace sys {

std::expected<int, PosixError> openAt(int dirFd, const std::string& name, int flags);
std::expected<std::size_t, PosixError> read(int fd, void* buffer, std::size_t size);
std::expected<struct stat, PosixError> fstat(int fd);
std::expected<struct stat, PosixError> fstatAt(int dirFd, const std::string& name, int flags);
std::expected<std::size_t, PosixError> getAttribute(int fd, const std::string& name, void* value,
                                                    std::size_t size);
std::expected<void, PosixError> setAttribute(int fd, const std::string& name, const void* value,
                                             std::size_t size);
std::expected<void, PosixError> close(int fd);

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
