#include "engine/tree/listing.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <utility>

namespace quelby {

std::expected<Listing, PosixError> Listing::of(const FileDescriptor& folder, bool keepsInodes)
{
    const int listing = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
    if (listing < 0) {
        return std::unexpected(posixError(errno));
    }
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        const PosixError error = posixError(errno);
        (void)sys::close(listing);
        return std::unexpected(error);
    }
    // The copy shares the folder's offset: a folder listed before would
    // otherwise list as empty.
    ::rewinddir(stream);
    Listing result;
    int error = 0;
    for (;;) {
        const auto next = sys::readDirectory(stream);
        if (!next || *next == nullptr) {
            error = next ? 0 : next.error().code;
            break;
        }
        const dirent* entry = *next;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (result.names_.size() + name.size() > UINT32_MAX) {
            error = EOVERFLOW;
            break;
        }
        result.items_.push_back(Item{static_cast<std::uint32_t>(result.names_.size()),
                                     static_cast<std::uint16_t>(name.size()), entry->d_type});
        if (keepsInodes) {
            result.inodes_.push_back(entry->d_ino);
        }
        result.names_ += name;
    }
    ::closedir(stream);
    if (error != 0) {
        return std::unexpected(posixError(error));
    }
    const auto byName = [&result](const Item& a, const Item& b) {
        return result.nameOf(a) < result.nameOf(b);
    };
    if (keepsInodes) {
        // The inodes follow the names through the sort by way of the order of
        // places, applied in place one cycle at a time: a second array of
        // both, or a copy of either, would cost a million-name folder more
        // than its inodes.
        std::vector<std::uint32_t> order(result.items_.size());
        std::iota(order.begin(), order.end(), std::uint32_t{0});
        std::ranges::sort(order, byName, [&result](std::uint32_t i) { return result.items_[i]; });
        for (std::size_t start = 0; start < order.size(); ++start) {
            if (order[start] == start) {
                continue;
            }
            // Place start takes what order names, which frees that place for
            // what it names, and so on round the cycle.
            const Item item = result.items_[start];
            const ino_t inode = result.inodes_[start];
            std::size_t place = start;
            while (order[place] != start) {
                const std::size_t from = order[place];
                result.items_[place] = result.items_[from];
                result.inodes_[place] = result.inodes_[from];
                order[place] = static_cast<std::uint32_t>(place);
                place = from;
            }
            result.items_[place] = item;
            result.inodes_[place] = inode;
            order[place] = static_cast<std::uint32_t>(place);
        }
    } else {
        std::ranges::sort(result.items_, byName);
    }
    result.items_.shrink_to_fit();
    result.inodes_.shrink_to_fit();
    result.names_.shrink_to_fit();
    return result;
}

} // namespace quelby
