#include "engine/platform/sys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quelby {

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

std::expected<off_t, PosixError> lseek(int fd, off_t offset, int whence)
{
    return retryInterrupted([&] { return calls().lseek(fd, offset, whence); });
}

std::expected<std::string, PosixError> realPath(const std::string& path)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        calls().realPath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
        return std::unexpected(posixError(errno));
    }
    return std::string(resolved.get());
}

std::expected<std::size_t, PosixError> readAt(int fd, void* buffer, std::size_t size,
                                              off_t offset)
{
    const auto count =
        retryInterrupted([&] { return calls().readAt(fd, buffer, size, offset); });
    if (!count) {
        return std::unexpected(count.error());
    }
    return static_cast<std::size_t>(*count);
}

std::expected<void, PosixError> flock(int fd, int operation)
{
    const auto done = retryInterrupted([&] { return calls().flock(fd, operation); });
    if (!done) {
        return std::unexpected(done.error());
    }
    return {};
}

std::expected<const dirent*, PosixError> readDirectory(DIR* stream)
{
    errno = 0;
    const dirent* entry = calls().readDirectory(stream);
    if (entry == nullptr && errno != 0) {
        return std::unexpected(posixError(errno));
    }
    return entry;
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

std::expected<int, PosixError> createAt(int dirFd, const std::string& name, int flags, mode_t mode)
{
    return retryInterrupted([&] { return calls().createAt(dirFd, name.c_str(), flags, mode); });
}

std::expected<void, PosixError> writeAll(int fd, const void* buffer, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        const auto written = retryInterrupted([&] { return calls().write(fd, bytes, size); });
        if (!written) {
            return std::unexpected(written.error());
        }
        if (*written == 0) {
            return std::unexpected(posixError(EIO));
        }
        bytes += *written;
        size -= static_cast<std::size_t>(*written);
    }
    return {};
}

namespace {

// For the calls that return 0 or -1.
template <typename Call> std::expected<void, PosixError> done(Call call)
{
    const auto result = retryInterrupted(call);
    if (!result) {
        return std::unexpected(result.error());
    }
    return {};
}

} // namespace

std::expected<void, PosixError> fsync(int fd)
{
    return done([&] { return calls().fsync(fd); });
}

std::expected<void, PosixError> fchown(int fd, uid_t owner, gid_t group)
{
    return done([&] { return calls().fchown(fd, owner, group); });
}

std::expected<void, PosixError> fchmod(int fd, mode_t mode)
{
    return done([&] { return calls().fchmod(fd, mode); });
}

std::expected<void, PosixError> futimens(int fd, const struct timespec times[2])
{
    return done([&] { return calls().futimens(fd, times); });
}

std::expected<void, PosixError> linkAt(int fromDirFd, const std::string& from, int toDirFd,
                                       const std::string& to, int flags)
{
    return done(
        [&] { return calls().linkAt(fromDirFd, from.c_str(), toDirFd, to.c_str(), flags); });
}

std::expected<void, PosixError> renameAt2(int fromDirFd, const std::string& from, int toDirFd,
                                          const std::string& to, unsigned int flags)
{
    return done(
        [&] { return calls().renameAt2(fromDirFd, from.c_str(), toDirFd, to.c_str(), flags); });
}

std::expected<void, PosixError> unlinkAt(int dirFd, const std::string& name, int flags)
{
    return done([&] { return calls().unlinkAt(dirFd, name.c_str(), flags); });
}

std::expected<std::string, PosixError> listAttributes(int fd)
{
    // The list may grow between asking its size and reading it: ask again then.
    for (int attempt = 0;; ++attempt) {
        const auto size = retryInterrupted([&] { return calls().listAttributes(fd, nullptr, 0); });
        if (!size) {
            return std::unexpected(size.error());
        }
        std::string names(static_cast<std::size_t>(*size), '\0');
        const auto copied =
            retryInterrupted([&] { return calls().listAttributes(fd, names.data(), names.size()); });
        if (copied) {
            names.resize(static_cast<std::size_t>(*copied));
            return names;
        }
        if (copied.error().code != ERANGE || attempt == 2) {
            return std::unexpected(copied.error());
        }
    }
}

std::expected<void, PosixError> removeAttribute(int fd, const std::string& name)
{
    return done([&] { return calls().removeAttribute(fd, name.c_str()); });
}

std::expected<bool, PosixError> pollReadable(int fd, int timeoutMilliseconds)
{
    pollfd wanted{fd, POLLIN, 0};
    const auto ready =
        retryInterrupted([&] { return calls().poll(&wanted, 1, timeoutMilliseconds); });
    if (!ready) {
        return std::unexpected(ready.error());
    }
    return *ready > 0;
}

std::expected<int, PosixError> inodeFlags(int fd)
{
    int flags = 0;
    if (auto got = done([&] { return calls().inodeFlags(fd, &flags); }); !got) {
        return std::unexpected(got.error());
    }
    return flags;
}

std::expected<void, PosixError> makeFolderAt(int dirFd, const std::string& name, mode_t mode)
{
    return done([&] { return calls().makeFolderAt(dirFd, name.c_str(), mode); });
}

std::expected<void, PosixError> fileExtents(int fd, struct fiemap& request)
{
    return done([&] { return calls().fileExtents(fd, &request); });
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
