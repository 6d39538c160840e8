#include "engine/tree/list_file.h"

#include "engine/platform/sys.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quelby {

namespace {

// How long a wait for a pipe or a terminal goes before it looks for a stop
// again: a signal that arrives just before the wait starts is seen this late.
constexpr int kStopCheckMilliseconds = 100;

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a file";
}

std::unexpected<ListReadFailure> refused(std::string reason)
{
    return std::unexpected(ListReadFailure{false, std::move(reason)});
}

// Reads fd to its end. A pipe or a terminal is waited for in short steps, so
// that SIGINT and SIGTERM (which restart a blocked read) still end the wait.
std::expected<std::string, ListReadFailure> readWhole(int fd, bool waits, std::size_t sizeLimit,
                                                      const std::function<bool()>& stopRequested)
{
    std::string contents;
    char chunk[65536];
    for (;;) {
        while (waits) {
            if (stopRequested && stopRequested()) {
                return std::unexpected(ListReadFailure{true, {}});
            }
            const auto ready = sys::pollReadable(fd, kStopCheckMilliseconds);
            if (!ready) {
                return refused(ready.error().description);
            }
            if (*ready) {
                break;
            }
        }
        // One byte past the limit tells a list of exactly the limit from a longer one.
        const std::size_t wanted = std::min(sizeof chunk, sizeLimit + 1 - contents.size());
        const auto got = sys::read(fd, chunk, wanted);
        if (!got && waits && got.error().code == EAGAIN) {
            continue;
        }
        if (!got) {
            return refused(got.error().description);
        }
        if (*got == 0) {
            break;
        }
        contents.append(chunk, *got);
        if (contents.size() > sizeLimit) {
            return refused("longer than " + sizeLimitText(sizeLimit));
        }
    }
    if (const auto nul = contents.find('\0'); nul != std::string::npos) {
        const auto line =
            std::count(contents.begin(), contents.begin() + static_cast<long>(nul), '\n');
        return refused("holds a NUL byte on line " + std::to_string(line + 1));
    }
    return contents;
}

} // namespace

std::string sizeLimitText(std::size_t bytes)
{
    const struct
    {
        std::size_t size;
        const char* unit;
    } units[] = {{1ULL << 30, " GiB"}, {1ULL << 20, " MiB"}, {1ULL << 10, " KiB"}};
    for (const auto& unit : units) {
        if (bytes >= unit.size && bytes % unit.size == 0) {
            return std::to_string(bytes / unit.size) + unit.unit;
        }
    }
    return std::to_string(bytes) + " bytes";
}

std::expected<std::string, ListReadFailure> readListFile(const std::string& path,
                                                         std::size_t sizeLimit,
                                                         const std::function<bool()>& stopRequested)
{
    if (path == "-") {
        // Standard input is shared with the shell, so its flags stay as they
        // are; the waits above do what O_NONBLOCK does for a named file.
        const auto info = sys::fstat(STDIN_FILENO);
        if (!info) {
            return refused(info.error().description);
        }
        const bool terminal = S_ISCHR(info->st_mode) && ::isatty(STDIN_FILENO) == 1;
        if (!S_ISREG(info->st_mode) && !S_ISFIFO(info->st_mode) && !terminal) {
            return refused("not a regular file, a pipe or a terminal but " + kindOf(info->st_mode));
        }
        return readWhole(STDIN_FILENO, !S_ISREG(info->st_mode), sizeLimit, stopRequested);
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer before its type is seen.
    const auto opened = sys::openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!opened) {
        return refused(opened.error().description);
    }
    FileDescriptor file(*opened);
    const auto info = sys::fstat(file.get());
    if (!info) {
        return refused(info.error().description);
    }
    if (!S_ISREG(info->st_mode)) {
        return refused("not a regular file but " + kindOf(info->st_mode));
    }
    auto contents = readWhole(file.get(), false, sizeLimit, stopRequested);
    if (auto closed = file.close(); contents && !closed) {
        return refused(closed.error().description);
    }
    return contents;
}

} // namespace quelby
