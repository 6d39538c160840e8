#include "engine/evidence/parity_reader.h"

#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_md5.h"
#include "engine/evidence/parity_packet_reader.h"
#include "engine/platform/sys.h"

#include <algorithm>
#include <stdexcept>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace quelby::parity {

namespace {

// A packet other than a recovery slice is read whole, so it is capped; a
// recovery slice is only hashed as it streams past, and located.
constexpr std::uint64_t kMaxPacketLength = 64ull << 20;
// All that is kept of the packets read, across every set the parts hold: a
// file full of small valid packets stops being kept here, not at the end of memory.
constexpr std::uint64_t kMaxKeptBytes = 128ull << 20;
constexpr std::size_t kChunkSize = 1 << 20;
constexpr std::size_t kMaxCreatorLength = 1024;

bool typeIs(const std::uint8_t* type, std::string_view expected)
{
    return std::memcmp(type, expected.data(), expected.size()) == 0;
}

std::string readFailure(const PosixError& error)
{
    return "reading the parity set: " + error.description;
}

std::expected<void, std::string> readExactly(int fd, void* buffer, std::size_t size,
                                             std::uint64_t offset)
{
    auto* to = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const auto count = sys::readAt(fd, to, size, static_cast<off_t>(offset));
        if (!count) {
            return std::unexpected(readFailure(count.error()));
        }
        if (*count == 0) {
            return std::unexpected("reading the parity set: it ended early");
        }
        to += *count;
        size -= *count;
        offset += *count;
    }
    return {};
}

struct LocatedSlice
{
    RecoverySlice slice;
    std::uint64_t dataLength = 0;
};

// What was read of one recovery set: the first intact copy of each packet.
struct Collected
{
    std::optional<MainPacket> main;
    std::map<Md5, InputFile> descriptions;
    std::map<Md5, std::vector<SliceChecksum>> checksums;
    std::map<std::uint32_t, LocatedSlice> recovery;
    std::optional<QuelbyFiles> quelby;
    std::optional<std::string> creator;
};

std::uint64_t slicesOf(std::uint64_t length, std::uint64_t sliceSize)
{
    return length / sliceSize + (length % sliceSize != 0 ? 1 : 0);
}

// The bytes of a part around where its scan is, read a chunk at a time, so
// that looking for the next packet word by word costs no call per word.
class Window
{
public:
    Window(int fd, std::uint64_t size) : fd_(fd), size_(size), bytes_(kChunkSize) {}

    // What the window holds from offset on: at least `wanted` bytes, or all
    // that is left of the part when that is less.
    std::expected<std::span<const std::uint8_t>, std::string> from(std::uint64_t offset,
                                                                   std::size_t wanted)
    {
        wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, size_ - offset));
        if (offset < start_ || offset - start_ + wanted > filled_) {
            const auto fill =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size_ - offset));
            if (auto got = readExactly(fd_, bytes_.data(), fill, offset); !got) {
                return std::unexpected(got.error());
            }
            start_ = offset;
            filled_ = fill;
        }
        const auto skip = static_cast<std::size_t>(offset - start_);
        return std::span<const std::uint8_t>(bytes_.data() + skip, filled_ - skip);
    }

private:
    int fd_;
    std::uint64_t size_;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

class SetReader
{
public:
    explicit SetReader(std::span<const int> parts) : parts_(parts) {}

    std::expected<ParitySet, std::string> read()
    {
        for (std::size_t part = 0; part < parts_.size(); ++part) {
            if (auto scanned = scanPart(part); !scanned) {
                return std::unexpected(scanned.error());
            }
        }
        if (!decided_) {
            return std::unexpected("the parity set's main packet is missing or damaged");
        }
        return assemble(sets_[*decided_]);
    }

private:
    std::expected<void, std::string> scanPart(std::size_t part)
    {
        const int fd = parts_[part];
        const auto info = sys::fstat(fd);
        if (!info) {
            return std::unexpected(readFailure(info.error()));
        }
        if (!S_ISREG(info->st_mode)) {
            return std::unexpected("the parity set is not a regular file");
        }
        const auto size = static_cast<std::uint64_t>(info->st_size);
        // Bytes hashed for packets that turned out damaged are looked through
        // again for the next packet; past this much, a damaged packet is
        // stepped over whole, so that nested false packets cost no more than a pass.
        const std::uint64_t rescanAllowance = 2 * size + kChunkSize;
        std::uint64_t hashed = 0;
        std::uint64_t position = 0;
        Window window(fd, size);
        while (true) {
            const auto found = findMagic(window, size, position);
            if (!found) {
                return std::unexpected(found.error());
            }
            if (!*found) {
                return {};
            }
            const std::uint64_t at = **found;
            const auto packet = readPacket(part, fd, window, size, at);
            if (!packet) {
                return std::unexpected(packet.error());
            }
            const std::uint64_t length = packet->length;
            if (packet->intact) {
                position = at + length;
            } else if (length != 0 && hashed > rescanAllowance) {
                position = at + length;
            } else {
                position = at + 4;
            }
            hashed += length;
        }
    }

    // The first offset from `from` on, a multiple of 4, where the magic lies.
    std::expected<std::optional<std::uint64_t>, std::string>
    findMagic(Window& window, std::uint64_t size, std::uint64_t from)
    {
        from = roundUpTo4(from);
        while (from < size && size - from >= kPacketMagic.size()) {
            const auto bytes = window.from(from, kPacketMagic.size());
            if (!bytes) {
                return std::unexpected(bytes.error());
            }
            std::size_t offset = 0;
            for (; offset + kPacketMagic.size() <= bytes->size(); offset += 4) {
                if (std::memcmp(bytes->data() + offset, kPacketMagic.data(), kPacketMagic.size()) ==
                    0) {
                    return from + offset;
                }
            }
            from += offset;
        }
        return std::nullopt;
    }

    struct PacketRead
    {
        bool intact = false;
        std::uint64_t length = 0; // as its header says, when it is possible at all; else 0
    };

    std::expected<PacketRead, std::string> readPacket(std::size_t part, int fd, Window& window,
                                                      std::uint64_t size, std::uint64_t at)
    {
        if (size - at < kPacketHeaderSize) {
            return PacketRead{};
        }
        const auto inWindow = window.from(at, kPacketHeaderSize);
        if (!inWindow) {
            return std::unexpected(inWindow.error());
        }
        std::array<std::uint8_t, kPacketHeaderSize> header{};
        std::memcpy(header.data(), inWindow->data(), header.size());
        const std::uint64_t length = readLe64(header.data() + 8);
        const std::uint8_t* type = header.data() + 48;
        const bool recovery = typeIs(type, kRecoverySliceType);
        if (length < kPacketHeaderSize || length % 4 != 0 || length > size - at ||
            (recovery && length < kPacketHeaderSize + 4) ||
            (!recovery && length > kMaxPacketLength)) {
            return PacketRead{};
        }
        // The packet's MD5 covers it from the set's ID to its end.
        Md5Stream hash;
        hash.update(header.data() + 32, kPacketHeaderSize - 32);
        std::vector<std::uint8_t> body;
        std::uint32_t exponent = 0;
        if (recovery) {
            std::uint64_t offset = at + kPacketHeaderSize;
            std::uint64_t left = length - kPacketHeaderSize;
            buffer_.resize(kChunkSize);
            while (left > 0) {
                const auto piece =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunkSize));
                if (auto got = readExactly(fd, buffer_.data(), piece, offset); !got) {
                    return std::unexpected(got.error());
                }
                if (offset == at + kPacketHeaderSize) {
                    exponent = readLe32(buffer_.data());
                }
                hash.update(buffer_.data(), piece);
                offset += piece;
                left -= piece;
            }
        } else {
            body.resize(static_cast<std::size_t>(length - kPacketHeaderSize));
            if (auto got = readExactly(fd, body.data(), body.size(), at + kPacketHeaderSize);
                !got) {
                return std::unexpected(got.error());
            }
            hash.update(body.data(), body.size());
        }
        if (hash.finish() != readMd5(header.data() + 16)) {
            ++skipped_;
            return PacketRead{false, length};
        }
        const Md5 setId = readMd5(header.data() + 32);
        if (recovery) {
            keepRecovery(setId, exponent,
                         LocatedSlice{RecoverySlice{exponent, part, at + kPacketHeaderSize + 4},
                                      length - kPacketHeaderSize - 4});
        } else {
            keep(setId, type, body);
        }
        return PacketRead{true, length};
    }

    // The set the first intact Main packet belongs to is the one read; what
    // was kept of any other is let go.
    Collected* collectedFor(const Md5& setId, bool isMain)
    {
        if (decided_) {
            return setId == *decided_ ? &sets_[setId] : nullptr;
        }
        if (isMain) {
            decided_ = setId;
            std::erase_if(sets_, [&setId](const auto& entry) { return entry.first != setId; });
        }
        if (!sets_.contains(setId) && !charge(sizeof(Collected) + kMaxCreatorLength + 64)) {
            return nullptr;
        }
        return &sets_[setId];
    }

    bool charge(std::uint64_t bytes)
    {
        if (bytes > kMaxKeptBytes - kept_) {
            return false;
        }
        kept_ += bytes;
        return true;
    }

    void keepRecovery(const Md5& setId, std::uint32_t exponent, const LocatedSlice& located)
    {
        Collected* set = collectedFor(setId, false);
        if (set == nullptr || set->recovery.contains(exponent) ||
            !charge(sizeof(LocatedSlice) + 64)) {
            return;
        }
        set->recovery.emplace(exponent, located);
    }

    void keep(const Md5& setId, const std::uint8_t* type, const std::vector<std::uint8_t>& body)
    {
        const bool isMain = typeIs(type, kMainType);
        Collected* set = collectedFor(setId, isMain);
        if (set == nullptr) {
            return;
        }
        if (isMain) {
            if (!set->main) {
                MainPacket main = parseMain(body);
                if (charge(sizeof(MainPacket) + 16 * main.fileIds.size())) {
                    set->main = std::move(main);
                }
            }
        } else if (typeIs(type, kFileDescriptionType)) {
            auto file = parseDescription(body);
            if (file && !set->descriptions.contains(file->id) &&
                charge(sizeof(InputFile) + file->name.size() + 64)) {
                set->descriptions.emplace(file->id, std::move(*file));
            }
        } else if (typeIs(type, kSliceChecksumType)) {
            Md5 fileId;
            auto slices = parseChecksums(body, fileId);
            if (slices && !set->checksums.contains(fileId) && charge(body.size() + 64)) {
                set->checksums.emplace(fileId, std::move(*slices));
            }
        } else if (typeIs(type, kQuelbyFilesType)) {
            // Charged before parsing: each record it claims, and its names and stamps.
            if (!set->quelby &&
                charge(body.size() + sizeof(CoveredRecord) * claimedQuelbyRecords(body))) {
                set->quelby = parseQuelbyFiles(body);
            }
        } else if (typeIs(type, kCreatorType)) {
            if (!set->creator) {
                std::string_view text(reinterpret_cast<const char*>(body.data()),
                                      std::min(body.size(), kMaxCreatorLength));
                while (text.ends_with('\0')) {
                    text.remove_suffix(1);
                }
                set->creator.emplace(text);
            }
        }
    }

    std::expected<ParitySet, std::string> assemble(Collected& collected) const
    {
        if (!collected.main) {
            return std::unexpected("the parity set's main packet is missing or damaged");
        }
        const MainPacket& main = *collected.main;
        if (!main.problem.empty()) {
            return std::unexpected(main.problem);
        }
        ParitySet set;
        set.id = *decided_;
        set.sliceSize = main.sliceSize;
        std::set<std::string_view> names; // views of set.files, which never grows past its reserve
        set.files.reserve(main.fileIds.size());
        std::uint64_t totalSlices = 0;
        for (const Md5& fileId : main.fileIds) {
            const auto described = collected.descriptions.find(fileId);
            if (described == collected.descriptions.end()) {
                return std::unexpected("a file of the parity set has no intact description");
            }
            InputFile& file = described->second;
            if (!isPlainSetName(file.name)) {
                return std::unexpected("the parity set names a file outside its folder");
            }
            const std::uint64_t count = slicesOf(file.length, set.sliceSize);
            if (count > rs::kMaxInputSlices || (totalSlices += count) > rs::kMaxInputSlices) {
                return std::unexpected("the parity set holds more blocks than its format allows");
            }
            if (const auto sums = collected.checksums.find(fileId);
                sums != collected.checksums.end()) {
                if (sums->second.size() != count) {
                    return std::unexpected(
                        "the parity set's block checksums of a file do not fit its length");
                }
                file.slices = std::move(sums->second);
            }
            set.files.push_back(std::move(file));
            collected.descriptions.erase(described);
            if (!names.insert(set.files.back().name).second) {
                return std::unexpected("the parity set names a file twice");
            }
        }
        for (const auto& [exponent, located] : collected.recovery) {
            if (located.dataLength == set.sliceSize && exponent <= rs::kMaxExponent) {
                set.recovery.push_back(located.slice);
            }
        }
        if (collected.quelby) {
            if (!collected.quelby->problem.empty()) {
                return std::unexpected(collected.quelby->problem);
            }
            set.writtenByQuelby = true;
            set.percent = collected.quelby->percent;
            set.covered = std::move(collected.quelby->records);
        }
        set.creator = collected.creator.value_or(std::string());
        set.skippedPackets = skipped_;
        return set;
    }

    std::span<const int> parts_;
    std::vector<std::uint8_t> buffer_;
    std::size_t skipped_ = 0; // packets whose MD5 did not match
    std::map<Md5, Collected> sets_;
    std::optional<Md5> decided_;
    std::uint64_t kept_ = 0;
};

} // namespace

std::expected<ParitySet, std::string> readSet(std::span<const int> parts)
{
    try {
        return SetReader(parts).read();
    } catch (const std::runtime_error& error) {
        return std::unexpected(std::string("reading the parity set: ") + error.what());
    }
}

std::expected<void, std::string> readRecoveryData(std::span<const int> parts,
                                                  const RecoverySlice& slice, std::uint64_t from,
                                                  std::uint64_t length, std::uint8_t* out)
{
    if (slice.part >= parts.size() || from > ~std::uint64_t{0} - slice.offset) {
        return std::unexpected("reading the parity set: no such recovery block");
    }
    return readExactly(parts[slice.part], out, static_cast<std::size_t>(length),
                       slice.offset + from);
}

} // namespace quelby::parity
