#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quelby::scrub {

// Held while one folder is scrubbed: a flock on a lock file beside the state,
// named after the folder's device and inode. Released when destroyed.
class FolderLock
{
public:
    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&&) = delete;
    ~FolderLock();

    enum class Failure
    {
        held,  // another run scrubs the folder
        other, // the lock file could not be made or locked; see the description
    };
    struct Error
    {
        Failure failure = Failure::other;
        std::string description;
    };
    // Never waits.
    static std::expected<FolderLock, Error> take(const std::string& statePath,
                                                 std::string_view folder);

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace quelby::scrub
