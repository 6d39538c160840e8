#include "sys.h"

#include <cerrno>
#include <fcntl.h>
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

namespace {

SystemCalls realCalls;
SystemCalls* installedCalls = &realCalls;

SystemCalls& calls()
{
    return *installedCalls;
}

// Runs a raw call until it is not interrupted; errno is read before anything else runs.
template <typename Call>
auto retryInterrupted(Call call) -> std::expected<decltype(call()), PosixError>
{
    for (;;) {
        const auto result = call();
        if (result >= 0) {
            return result;
        }
        const int error = errno;
        if (error != EINTR) {
            return std::unexpected(posixError(error));
        }
    }
}

} // namespace

void installSystemCalls(SystemCalls* replacement)
{
    installedCalls = replacement != nullptr ? replacement : &realCalls;
}

namespace sys {

std::expected<int, PosixError> openAt(int dirFd, const std::string& name, int flags)
{
    return retryInterrupted([&] { return calls().openAt(dirFd, name.c_str(), flags); });
}

std::expected<std::size_t, PosixError> read(int fd, void* buffer, std::size_t size)
{
    const auto count = retryInterrupted([&] { return calls().read(fd, buffer, size); });
    if (!count) {
        return std::unexpected(count.error());
    }
    return static_cast<std::size_t>(*count);
}

std::expected<struct stat, PosixError> fstat(int fd)
{
    struct stat info
    {};
    const auto done = retryInterrupted([&] { return calls().fstat(fd, &info); });
    if (!done) {
        return std::unexpected(done.error());
    }
    return info;
}

std::expected<struct stat, PosixError> fstatAt(int dirFd, const std::string& name, int flags)
{
    struct stat info
    {};
    const auto done =
        retryInterrupted([&] { return calls().fstatAt(dirFd, name.c_str(), &info, flags); });
    if (!done) {
        return std::unexpected(done.error());
    }
    return info;
}

std::expected<std::size_t, PosixError> getAttribute(int fd, const std::string& name, void* value,
                                                    std::size_t size)
{
    const auto count =
        retryInterrupted([&] { return calls().getAttribute(fd, name.c_str(), value, size); });
    if (!count) {
        return std::unexpected(count.error());
    }
    return static_cast<std::size_t>(*count);
}

std::expected<void, PosixError> setAttribute(int fd, const std::string& name, const void* value,
                                             std::size_t size)
{
    const auto done =
        retryInterrupted([&] { return calls().setAttribute(fd, name.c_str(), value, size); });
    if (!done) {
        return std::unexpected(done.error());
    }
    return {};
}

std::expected<void, PosixError> close(int fd)
{
    // Linux releases the descriptor even when close is interrupted: never retry.
    if (calls().close(fd) != 0) {
        return std::unexpected(posixError(errno));
    }
    return {};
}

} // namespace sys

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            (void)sys::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0) {
        (void)sys::close(fd_);
    }
}

int FileDescriptor::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

std::expected<void, PosixError> FileDescriptor::close()
{
    return sys::close(release());
}

} // namespace quelby
