#include "engine/scrub/state/state_file.h"
#include "engine/store/file_names.h"
#include "engine/tree/paths.h"

#include "engine/platform/sys.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>

namespace quelby::scrub {

std::string stateFolder(const std::string& statePath)
{
    const auto slash = statePath.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : statePath.substr(0, slash);
}

std::string withRealFolder(const std::string& statePath)
{
    const auto folder = sys::realPath(stateFolder(statePath));
    if (!folder) {
        return statePath; // SQLite tells what is wrong
    }
    const std::string name = statePath.substr(statePath.find_last_of('/') + 1);
    return joinedPath(*folder, name);
}

std::expected<void, PosixError> makeStateFolder(const std::string& statePath)
{
    const std::string folder = stateFolder(statePath);
    // Each folder on the way down, so that a missing ~/.local/state is made too.
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string step = folder.substr(0, end);
        if (auto made = sys::makeFolderAt(AT_FDCWD, step, 0700);
            !made && made.error().code != EEXIST) {
            return made;
        }
        if (end == std::string::npos) {
            return {};
        }
    }
}

std::expected<void, PosixError> checkStateFileWritable(const std::string& path)
{
    const auto opened =
        sys::createAt(AT_FDCWD, path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (!opened) {
        return std::unexpected(notFollowed(opened.error()));
    }
    FileDescriptor file(*opened);
    const auto info = sys::fstat(file.get());
    if (!info) {
        return std::unexpected(info.error());
    }
    if (!S_ISREG(info->st_mode)) {
        return std::unexpected(PosixError{EINVAL, "it is not a regular file"});
    }
    return file.close();
}

PosixError notFollowed(PosixError error)
{
    if (error.code == ELOOP) {
        error.description = "it is a symbolic link, which Quelby does not follow";
    }
    return error;
}

std::expected<std::string, PosixError> moveStateAside(const std::string& path, std::time_t now)
{
    std::tm utc{};
    char stamp[32] = {};
    ::gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string aside = path + ".corrupt-" + stamp;
    if (auto moved = sys::renameAt2(AT_FDCWD, path, AT_FDCWD, aside, 0); !moved) {
        return std::unexpected(moved.error());
    }
    // SQLite removes these when the failing connection closes; one left
    // behind all the same would be replayed into the new database.
    for (const char* suffix : {"-wal", "-shm"}) {
        if (auto moved = sys::renameAt2(AT_FDCWD, path + suffix, AT_FDCWD, aside + suffix, 0);
            !moved && moved.error().code != ENOENT) {
            return std::unexpected(moved.error());
        }
    }
    return aside;
}

std::optional<std::string> defaultStatePath()
{
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        return std::string(stateHome) + "/" + std::string(kStateFolderName) + "/" +
               std::string(kStateFileName);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        return std::nullopt;
    }
    return std::string(home) + "/.local/state/" + std::string(kStateFolderName) + "/" +
           std::string(kStateFileName);
}

} // namespace quelby::scrub
