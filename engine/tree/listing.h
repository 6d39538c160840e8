#pragma once

// One folder's names, read whole before the walk enters any of them.

#include "engine/platform/posix_error.h"
#include "engine/platform/sys.h"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quelby {

// A folder's names, packed into one string and sorted in byte order, so that
// a folder of a million files costs little more than their names.
class Listing
{
public:
    struct Name
    {
        std::string_view name;
        unsigned char type;
        ino_t inode = 0; // as listed; 0 unless the listing keeps inodes
    };

    // Every name in the folder but "." and "..", read whole through a
    // descriptor of its own, so that only one descriptor per level stays open.
    // Inodes are kept only when asked: reading in disk order sorts by them,
    // and a folder of a million names would otherwise carry them for nothing.
    static std::expected<Listing, PosixError> of(const FileDescriptor& folder,
                                                 bool keepsInodes = false);

    std::size_t size() const { return items_.size(); }
    Name operator[](std::size_t index) const
    {
        return Name{nameOf(items_[index]), items_[index].type,
                    inodes_.empty() ? 0 : inodes_[index]};
    }

private:
    struct Item
    {
        std::uint32_t offset;
        std::uint16_t length;
        unsigned char type;
    };
    std::string_view nameOf(const Item& item) const
    {
        return std::string_view(names_).substr(item.offset, item.length);
    }

    std::string names_;
    std::vector<Item> items_;
    std::vector<ino_t> inodes_; // beside items_, when kept
};

} // namespace quelby
