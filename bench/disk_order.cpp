// Measures how far a disk's head would travel for the order in which a run read
// its files. There is no spinning disk to time here, so the order is taken from
// an strace log of the run and replayed against where each file's data lies:
//
//   strace -f -y -xx -s 0 -e trace=read,readv,pread64,preadv,preadv2 -o LOG CMD
//   disk_order TREE LOG
//
// Each file under TREE counts once, at its first read of contents (the opens are
// no guide: a disk-order run looks files up in any order before it reads them).
// Reads of folders, of the manifest, of libraries, /proc and anything else
// outside TREE are left out. FIEMAP gives where each file's data starts and ends
// on the disk; a jump is the distance from the end of one file to the start of
// the next.
//
// The estimate on paper counts a seek of kSeekSeconds for every backward jump
// and every forward jump over kSeekBytes; a shorter forward jump stays on about
// the same tracks, so the head is taken to read through the gap at
// kBytesPerSecond, like the data itself.
#include <linux/fiemap.h>
#include <linux/fs.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr double kSeekSeconds = 0.008;
constexpr double kBytesPerSecond = 150e6;
constexpr std::uint64_t kSeekBytes = 1 << 20;
constexpr std::string_view kManifestName = ".quelby.sha256";

// Decodes the C-style escapes strace writes in a -y path (\xHH with -xx; \NNN,
// \n, \\ and \" without) up to the '>' that closes it; strace escapes a '>'
// inside a name, so the first bare one ends it. Empty when the line breaks off.
std::optional<std::string> decodeDescriptorPath(std::string_view text)
{
    std::string path;
    const auto digit = [](char c, int base) {
        const int value = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : 99;
        return value < base ? value : -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '>')
            return path;
        if (c != '\\') {
            path += c;
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        const char escaped = text[i];
        int value = 0;
        if (escaped == 'x') {
            int count = 0;
            for (; count < 2 && i + 1 < text.size() && digit(text[i + 1], 16) >= 0; ++count)
                value = value * 16 + digit(text[++i], 16);
            if (count == 0)
                return std::nullopt;
        } else if (digit(escaped, 8) >= 0) {
            value = digit(escaped, 8);
            for (int count = 1; count < 3 && i + 1 < text.size() && digit(text[i + 1], 8) >= 0;
                 ++count)
                value = value * 8 + digit(text[++i], 8);
        } else {
            const std::string_view named = "n\nt\tr\rv\vf\fb\ba\a";
            const auto at = named.find(escaped);
            value = static_cast<unsigned char>(at % 2 == 0 && at != std::string_view::npos
                                                   ? named[at + 1]
                                                   : escaped);
        }
        path += static_cast<char>(value);
    }
    return std::nullopt;
}

// The path of the descriptor a read call names, as in
// `1234  read(3</tree/a\x20b>, ""..., 1048576) = 4096`; empty for any other line.
std::optional<std::string> readCallPath(std::string_view line)
{
    if (line.starts_with("[pid ")) {
        const auto close = line.find("] ");
        if (close == std::string_view::npos)
            return std::nullopt;
        line.remove_prefix(close + 2);
    }
    const auto callStart = line.find_first_not_of("0123456789 ");
    if (callStart == std::string_view::npos)
        return std::nullopt;
    line.remove_prefix(callStart);
    bool isRead = false;
    for (const std::string_view call : {"read(", "readv(", "pread64(", "preadv(", "preadv2("}) {
        if (line.starts_with(call)) {
            line.remove_prefix(call.size());
            isRead = true;
            break;
        }
    }
    const auto pathStart = line.find_first_not_of("0123456789");
    if (!isRead || pathStart == 0 || pathStart == std::string_view::npos || line[pathStart] != '<')
        return std::nullopt;
    return decodeDescriptorPath(line.substr(pathStart + 1));
}

// Where a file's data lies on the disk, in bytes: the start of its first
// extent and the end of its last.
struct Place {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t bytes = 0;
    std::uint32_t extents = 0;
};

enum class Lookup { placed, unplaced, gone, skipped };

struct Located {
    Lookup lookup = Lookup::skipped;
    Place place;
};

std::expected<std::vector<fiemap_extent>, int> extentsOf(int fd)
{
    // The first call counts the extents, the second fetches them all.
    std::vector<std::uint64_t> storage(sizeof(fiemap) / sizeof(std::uint64_t) + 1);
    for (int pass = 0; pass < 2; ++pass) {
        auto* map = reinterpret_cast<fiemap*>(storage.data());
        const std::uint32_t wanted = pass == 0 ? 0 : map->fm_mapped_extents;
        storage.assign((sizeof(fiemap) + wanted * sizeof(fiemap_extent)) / sizeof(std::uint64_t) +
                           1,
                       0);
        map = reinterpret_cast<fiemap*>(storage.data());
        map->fm_start = 0;
        map->fm_length = FIEMAP_MAX_OFFSET;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = wanted;
        if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0)
            return std::unexpected(errno);
        if (pass == 1) {
            const auto count = std::min(map->fm_mapped_extents, wanted);
            return std::vector<fiemap_extent>(map->fm_extents, map->fm_extents + count);
        }
    }
    return std::vector<fiemap_extent>{};
}

Located locate(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {Lookup::gone, {}};
    struct stat status{};
    Located located;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return located;
    }
    const auto extents = extentsOf(fd);
    ::close(fd);
    located.lookup = Lookup::unplaced;
    if (!extents || extents->empty())
        return located;
    constexpr std::uint32_t kNoPlace =
        FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_DATA_INLINE;
    for (const auto& extent : *extents) {
        if ((extent.fe_flags & kNoPlace) != 0)
            return located;
        located.place.bytes += extent.fe_length;
    }
    located.lookup = Lookup::placed;
    located.place.start = extents->front().fe_physical;
    located.place.end = extents->back().fe_physical + extents->back().fe_length;
    located.place.extents = static_cast<std::uint32_t>(extents->size());
    return located;
}

struct Travel {
    std::uint64_t files = 0;
    std::uint64_t unplaced = 0;
    std::uint64_t gone = 0;
    std::uint64_t fragmented = 0;
    std::uint64_t dataBytes = 0;
    std::uint64_t travelBytes = 0;
    std::uint64_t jumps = 0;
    std::uint64_t backwardJumps = 0;
    std::uint64_t seeks = 0;
    std::uint64_t readThroughBytes = 0;
    std::optional<std::uint64_t> head;

    void add(const Place& place)
    {
        ++files;
        dataBytes += place.bytes;
        if (place.extents > 1)
            ++fragmented;
        if (head) {
            const bool backward = place.start < *head;
            const std::uint64_t jump = backward ? *head - place.start : place.start - *head;
            travelBytes += jump;
            jumps += jump != 0 ? 1 : 0;
            backwardJumps += backward ? 1 : 0;
            if (backward || jump > kSeekBytes)
                ++seeks;
            else
                readThroughBytes += jump;
        }
        head = place.end;
    }
};

bool isUnder(const std::string& path, const std::string& tree)
{
    return path.size() > tree.size() + 1 && path.starts_with(tree) && path[tree.size()] == '/';
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: disk_order TREE STRACE_LOG\n"
                     "  the log from: strace -f -y -xx -s 0 "
                     "-e trace=read,readv,pread64,preadv,preadv2 -o STRACE_LOG COMMAND\n";
        return 2;
    }
    char* resolved = ::realpath(argv[1], nullptr);
    if (resolved == nullptr) {
        std::cerr << "disk_order: " << argv[1] << ": " << std::strerror(errno) << '\n';
        return 1;
    }
    const std::string tree = resolved;
    std::free(resolved);
    std::ifstream log(argv[2], std::ios::binary);
    if (!log) {
        std::cerr << "disk_order: " << argv[2] << ": " << std::strerror(errno) << '\n';
        return 1;
    }

    Travel travel;
    std::unordered_set<std::string> seen;
    std::string line;
    while (std::getline(log, line)) {
        const auto path = readCallPath(line);
        if (!path || !isUnder(*path, tree) || baseName(*path) == kManifestName ||
            !seen.insert(*path).second)
            continue;
        const auto located = locate(*path);
        switch (located.lookup) {
        case Lookup::placed:
            travel.add(located.place);
            break;
        case Lookup::unplaced:
            ++travel.unplaced;
            break;
        case Lookup::gone:
            ++travel.gone;
            break;
        case Lookup::skipped:
            break;
        }
    }
    if (log.bad()) {
        std::cerr << "disk_order: " << argv[2] << ": " << std::strerror(errno) << '\n';
        return 1;
    }

    const double seconds = static_cast<double>(travel.seeks) * kSeekSeconds +
                           static_cast<double>(travel.dataBytes + travel.readThroughBytes) /
                               kBytesPerSecond;
    std::printf("files read                %llu\n"
                "files without a place     %llu\n"
                "files gone since the run  %llu\n"
                "files in several extents  %llu\n"
                "data bytes                %llu\n"
                "head travel bytes         %llu\n"
                "jumps                     %llu\n"
                "backward jumps            %llu\n"
                "seeks                     %llu\n"
                "estimated seconds         %.1f\n",
                static_cast<unsigned long long>(travel.files),
                static_cast<unsigned long long>(travel.unplaced),
                static_cast<unsigned long long>(travel.gone),
                static_cast<unsigned long long>(travel.fragmented),
                static_cast<unsigned long long>(travel.dataBytes),
                static_cast<unsigned long long>(travel.travelBytes),
                static_cast<unsigned long long>(travel.jumps),
                static_cast<unsigned long long>(travel.backwardJumps),
                static_cast<unsigned long long>(travel.seeks), seconds);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
