#pragma once

// Where files lie on the disk, as a test makes the file system say through
// the system-call seam's FIEMAP.

#include "scripted_system_calls.h"

#include <cerrno>
#include <cstdint>
#include <linux/fiemap.h>
#include <sys/stat.h>

namespace quelby::test {

enum class Places
{
    real,      // whatever it says (often nothing, on a memory file system)
    none,      // FIEMAP fails for every file
    scattered, // places that disagree with names and inodes; every fifth file has none
};

inline std::uint64_t scatteredPlace(ino_t inode)
{
    return (inode * 2654435761u) % 1000003 * 4096;
}

// Makes calls answer FIEMAP as places asks.
inline void givePlaces(ScriptedSystemCalls& calls, Places places)
{
    calls.onFileExtents = [places](int fd, struct fiemap* request) -> int {
        if (places == Places::real) {
            return SystemCalls().fileExtents(fd, request);
        }
        struct stat info = {};
        ::fstat(fd, &info);
        if (places == Places::none || info.st_ino % 5 == 0) {
            errno = EOPNOTSUPP;
            return -1;
        }
        request->fm_mapped_extents = 1;
        request->fm_extents[0] = {};
        request->fm_extents[0].fe_physical = scatteredPlace(info.st_ino);
        request->fm_extents[0].fe_length = 4096;
        request->fm_extents[0].fe_flags = FIEMAP_EXTENT_LAST;
        return 0;
    };
}

} // namespace quelby::test
