#pragma once

// The walk's way down a tree and back up: open folders, their listings and
// the path so far, with a fixed ceiling on descriptors whatever the depth.

#include "engine/platform/posix_error.h"
#include "engine/platform/sys.h"
#include "engine/tree/listing.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quelby {

// The folders on the way down a tree, deepest last, each with the names it
// has still to give, and the path of the deepest. They are kept in a vector,
// not on the call stack, so that a chain of folders of any depth cannot
// overflow it; one path buffer serves every level, each level keeping only
// its length. Folders far above the deepest give their descriptor back and
// are reopened through ".." on the way up, so that any depth fits in any
// limit of open files.
class FolderStack
{
public:
    struct Entry
    {
        std::shared_ptr<const FileDescriptor> folder;
        Listing::Name name; // valid until the stack next changes
    };

    // Called for a folder above that cannot be reopened, with why; its
    // remaining names are given up.
    using Unreachable = std::function<void(const std::string& path, const std::string& reason)>;

    // keepsInodes: each name comes with the inode its listing gave. The
    // deepest openLevels folders keep their descriptor.
    explicit FolderStack(bool keepsInodes = false, std::size_t openLevels = 64)
        : keepsInodes_(keepsInodes), openLevels_(std::max<std::size_t>(openLevels, 1))
    {
    }

    bool empty() const { return levels_.empty(); }
    dev_t rootDevice() const { return levels_.empty() ? 0 : levels_.front().device; }

    // The path of a name in the deepest folder.
    std::string childPath(std::string_view name) const;
    // The same, written into into, whose allocation is kept.
    void childPath(std::string_view name, std::string& into) const;

    // Lists folder, whose path is path, and goes down into it; on failure
    // the stack is as it was.
    std::expected<void, PosixError> enter(std::shared_ptr<const FileDescriptor> folder,
                                          std::string path);

    // The next name in walk order, leaving every folder that has given all
    // its names; none once the whole tree has been given.
    std::optional<Entry> next(const Unreachable& unreachable);

private:
    struct Level
    {
        std::shared_ptr<const FileDescriptor> folder; // none while given back
        dev_t device = 0;
        ino_t inode = 0;
        std::size_t pathLength = 0;
        Listing listing;
        std::size_t next = 0;
    };

    void leave(const Unreachable& unreachable);
    static std::string reopenParent(const FileDescriptor& child, Level& parent);

    bool keepsInodes_ = false;
    std::size_t openLevels_;
    std::vector<Level> levels_;
    std::string path_;
};

// An entry's type as its listing gave it, or else as the file system says:
// DT_REG when it cannot say, so that opening the entry names the failure, and
// DT_FIFO for every other kind of special file.
unsigned char entryType(const FileDescriptor& folder, Listing::Name entry);

} // namespace quelby
