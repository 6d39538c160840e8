#include "engine/read/disk_order.h"

#include "engine/platform/sys.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <numeric>

namespace quelby {

namespace {

// An extent with any of these has no place the head could go to first.
constexpr std::uint32_t kNoPlace = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                   FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_ENCRYPTED |
                                   FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_DATA_INLINE |
                                   FIEMAP_EXTENT_DATA_TAIL;

// A request with room for one extent after its header.
struct alignas(struct fiemap) OneExtent
{
    std::array<std::byte, sizeof(struct fiemap) + sizeof(struct fiemap_extent)> bytes{};
};

} // namespace

std::optional<DiskPlace> diskPlaceOf(int folderFd, const std::string& name)
{
    // Non-blocking: a FIFO put in the file's place must not hold the walk;
    // anything but a regular file simply has no extents to give.
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    auto opened = sys::openAt(folderFd, name, flags);
    if (!opened) {
        return std::nullopt;
    }
    const FileDescriptor file(*opened);
    return diskPlaceOfOpenFile(file.get());
}

std::optional<DiskPlace> diskPlaceOfOpenFile(int fd)
{
    // Only the first extent, and no sync: the lookup must cost no writes.
    OneExtent one;
    auto* request = reinterpret_cast<struct fiemap*>(one.bytes.data());
    request->fm_start = 0;
    request->fm_length = FIEMAP_MAX_OFFSET;
    request->fm_extent_count = 1;
    if (!sys::fileExtents(fd, *request) || request->fm_mapped_extents == 0) {
        return std::nullopt;
    }
    const fiemap_extent& first = request->fm_extents[0];
    if ((first.fe_flags & kNoPlace) != 0) {
        return std::nullopt;
    }
    return DiskPlace{first.fe_physical, first.fe_physical + first.fe_length};
}

std::vector<std::size_t> elevatorOrder(std::span<const PlacedFile> files, std::uint64_t& head)
{
    std::vector<std::size_t> order(files.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Three groups, each sorted on its own key: inodes and places never meet.
    const auto group = [&](std::size_t i) {
        const auto& place = files[i].place;
        return !place ? 0 : place->start >= head ? 1 : 2;
    };
    const auto key = [&](std::size_t i) {
        return files[i].place ? files[i].place->start : static_cast<std::uint64_t>(files[i].inode);
    };
    std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) {
        const int groupA = group(a);
        const int groupB = group(b);
        return groupA != groupB ? groupA < groupB : key(a) < key(b);
    });
    for (auto last = order.rbegin(); last != order.rend(); ++last) {
        if (files[*last].place) {
            head = files[*last].place->end;
            break;
        }
    }
    return order;
}

} // namespace quelby
