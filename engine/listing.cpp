#include "listing.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
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
        std::vector<std::pair<Item, ino_t>> both;
        both.reserve(result.items_.size());
        for (std::size_t i = 0; i < result.items_.size(); ++i) {
            both.emplace_back(result.items_[i], result.inodes_[i]);
        }
        std::ranges::sort(both, byName, &std::pair<Item, ino_t>::first);
        for (std::size_t i = 0; i < both.size(); ++i) {
            result.items_[i] = both[i].first;
            result.inodes_[i] = both[i].second;
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
