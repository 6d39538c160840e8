#include "engine/evidence/parity_reader.h"

#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_md5.h"
#include "engine/platform/sys.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace quelby::parity {

namespace {

// Bounds on what a set may claim, checked before anything is allocated for it.
// A packet other than a recovery slice is read whole, so it is capped; a
// recovery slice is only hashed as it streams past, and located.
constexpr std::uint64_t kMaxPacketLength = 64ull << 20;
constexpr std::uint64_t kMaxSliceSize = 1ull << 30;
constexpr std::uint32_t kMaxFiles = 32768;
// All that is kept of the packets read, across every set the parts hold: a
// file full of small valid packets stops being kept here, not at the end of memory.
constexpr std::uint64_t kMaxKeptBytes = 128ull << 20;
constexpr std::size_t kChunkSize = 1 << 20;
constexpr std::size_t kMaxCreatorLength = 1024;
constexpr std::uint32_t kQuelbyVersion = 1;
constexpr std::uint32_t kNoStamp = 0xFFFFFFFF;
constexpr std::size_t kQuelbyRecordFixedSize = 8 + 32 + 8 + 4 + 4 + 4 + 4;

std::uint32_t le32(const std::uint8_t* at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

std::uint64_t le64(const std::uint8_t* at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

Md5 md5At(const std::uint8_t* at)
{
    Md5 md5;
    std::memcpy(md5.bytes.data(), at, md5.bytes.size());
    return md5;
}

bool typeIs(const std::uint8_t* type, std::string_view expected)
{
    return std::memcmp(type, expected.data(), expected.size()) == 0;
}

std::uint64_t paddedTo4(std::uint64_t length)
{
    return (length + 3) / 4 * 4;
}

// A name that can only mean a file in the set's own folder.
bool isPlainName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
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

struct MainPacket
{
    std::string problem; // why the set cannot be used, when it cannot
    std::uint64_t sliceSize = 0;
    std::vector<Md5> fileIds;
};

struct LocatedSlice
{
    RecoverySlice slice;
    std::uint64_t dataLength = 0;
};

struct QuelbyFiles
{
    std::string problem;
    unsigned percent = 0;
    std::vector<CoveredRecord> records;
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

MainPacket parseMain(const std::vector<std::uint8_t>& body)
{
    MainPacket main;
    if (body.size() < 12) {
        main.problem = "the parity set's main packet is malformed";
        return main;
    }
    main.sliceSize = le64(body.data());
    const std::uint32_t count = le32(body.data() + 8);
    if (main.sliceSize == 0 || main.sliceSize % 4 != 0 || main.sliceSize > kMaxSliceSize) {
        main.problem = "the parity set's block size is not usable";
        return main;
    }
    if (count > kMaxFiles) {
        main.problem = "the parity set lists more files than its format allows";
        return main;
    }
    const std::uint64_t rest = body.size() - 12;
    if (rest < std::uint64_t{count} * 16 || rest % 16 != 0) {
        main.problem = "the parity set's main packet is malformed";
        return main;
    }
    // The IDs after the recovery set's are files it only describes: nothing to rebuild.
    main.fileIds.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        main.fileIds.push_back(md5At(body.data() + 12 + 16 * std::size_t{i}));
    }
    return main;
}

std::optional<InputFile> parseDescription(const std::vector<std::uint8_t>& body)
{
    if (body.size() < 56) {
        return std::nullopt;
    }
    InputFile file;
    file.id = md5At(body.data());
    file.md5 = md5At(body.data() + 16);
    file.md5First16k = md5At(body.data() + 32);
    file.length = le64(body.data() + 48);
    std::string_view name(reinterpret_cast<const char*>(body.data() + 56), body.size() - 56);
    // One to three zeros pad a name to a multiple of 4; a zero before those is in the name.
    for (int padding = 0; padding < 3 && name.ends_with('\0'); ++padding) {
        name.remove_suffix(1);
    }
    file.name = name;
    return file;
}

std::optional<std::vector<SliceChecksum>> parseChecksums(const std::vector<std::uint8_t>& body,
                                                         Md5& fileId)
{
    if (body.size() < 16 || (body.size() - 16) % 20 != 0) {
        return std::nullopt;
    }
    fileId = md5At(body.data());
    std::vector<SliceChecksum> slices((body.size() - 16) / 20);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::uint8_t* entry = body.data() + 16 + 20 * i;
        slices[i].md5 = md5At(entry);
        slices[i].crc32 = le32(entry + 16);
    }
    return slices;
}

// Quelby's own packet; its layout is described beside its type.
std::optional<QuelbyFiles> parseQuelbyFiles(const std::vector<std::uint8_t>& body)
{
    if (body.size() < 12 || le32(body.data()) != kQuelbyVersion) {
        return std::nullopt; // another version's packet: as if of an unknown type
    }
    QuelbyFiles files;
    files.percent = le32(body.data() + 4);
    const std::uint32_t count = le32(body.data() + 8);
    const auto malformed = [&files] {
        files.records.clear();
        files.problem = "the parity set's own list of files is malformed";
        return files;
    };
    // Every record takes its fixed part and at least four bytes of name.
    if (count > (body.size() - 12) / (kQuelbyRecordFixedSize + 4)) {
        return malformed();
    }
    files.records.reserve(count);
    std::size_t at = 12;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (body.size() - at < kQuelbyRecordFixedSize) {
            return malformed();
        }
        const std::uint8_t* fixed = body.data() + at;
        CoveredRecord record;
        record.size = le64(fixed);
        std::memcpy(record.sha256.bytes.data(), fixed + 8, record.sha256.bytes.size());
        record.modifiedSeconds = static_cast<std::int64_t>(le64(fixed + 40));
        record.modifiedNanoseconds = le32(fixed + 48);
        record.mode = le32(fixed + 52);
        const std::uint32_t nameLength = le32(fixed + 56);
        const std::uint32_t stampLength = le32(fixed + 60);
        at += kQuelbyRecordFixedSize;
        const std::uint64_t nameSpace = paddedTo4(nameLength);
        const std::uint64_t stampSpace = stampLength == kNoStamp ? 0 : paddedTo4(stampLength);
        if (nameSpace > body.size() - at || stampSpace > body.size() - at - nameSpace) {
            return malformed();
        }
        record.name.assign(reinterpret_cast<const char*>(body.data() + at), nameLength);
        at += nameSpace;
        if (stampLength != kNoStamp) {
            record.stamp.emplace(reinterpret_cast<const char*>(body.data() + at), stampLength);
            at += stampSpace;
        }
        if (!isPlainName(record.name) || record.modifiedNanoseconds >= 1'000'000'000) {
            return malformed();
        }
        files.records.push_back(std::move(record));
    }
    return files;
}

std::uint64_t slicesOf(std::uint64_t length, std::uint64_t sliceSize)
{
    return length / sliceSize + (length % sliceSize != 0 ? 1 : 0);
}

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
        while (true) {
            const auto found = findMagic(fd, size, position);
            if (!found) {
                return std::unexpected(found.error());
            }
            if (!*found) {
                return {};
            }
            const std::uint64_t at = **found;
            const auto packet = readPacket(part, fd, size, at);
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
    // The window grows: the next packet is usually right there.
    std::expected<std::optional<std::uint64_t>, std::string> findMagic(int fd, std::uint64_t size,
                                                                       std::uint64_t from)
    {
        from = paddedTo4(from);
        std::size_t window = 4096;
        buffer_.resize(kChunkSize);
        while (from < size && size - from >= kPacketMagic.size()) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(window, size - from));
            if (auto got = readExactly(fd, buffer_.data(), want, from); !got) {
                return std::unexpected(got.error());
            }
            std::size_t offset = 0;
            for (; offset + kPacketMagic.size() <= want; offset += 4) {
                if (std::memcmp(buffer_.data() + offset, kPacketMagic.data(),
                                kPacketMagic.size()) == 0) {
                    return from + offset;
                }
            }
            from += offset;
            window = kChunkSize;
        }
        return std::nullopt;
    }

    struct PacketRead
    {
        bool intact = false;
        std::uint64_t length = 0; // as its header says, when it is possible at all; else 0
    };

    std::expected<PacketRead, std::string> readPacket(std::size_t part, int fd, std::uint64_t size,
                                                      std::uint64_t at)
    {
        if (size - at < kPacketHeaderSize) {
            return PacketRead{};
        }
        std::array<std::uint8_t, kPacketHeaderSize> header{};
        if (auto got = readExactly(fd, header.data(), header.size(), at); !got) {
            return std::unexpected(got.error());
        }
        const std::uint64_t length = le64(header.data() + 8);
        const std::uint8_t* type = header.data() + 48;
        const bool recovery = typeIs(type, kRecoverySliceType);
        if (length < kPacketHeaderSize || length % 4 != 0 || length > size - at ||
            (recovery && length < kPacketHeaderSize + 4) ||
            (!recovery && length > kMaxPacketLength)) {
            return PacketRead{};
        }
        // The packet's MD5 covers it from the set's ID to its end.
        Md5Hash hash;
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
                    exponent = le32(buffer_.data());
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
        Md5 computed;
        if (!hash.finish(computed)) {
            return std::unexpected("reading the parity set: MD5 is not available");
        }
        if (computed != md5At(header.data() + 16)) {
            return PacketRead{false, length};
        }
        const Md5 setId = md5At(header.data() + 32);
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
            const std::uint64_t claimed = body.size() >= 12 ? le32(body.data() + 8) : 0;
            const std::uint64_t records =
                std::min<std::uint64_t>(claimed, body.size() / (kQuelbyRecordFixedSize + 4));
            if (!set->quelby && charge(body.size() + sizeof(CoveredRecord) * records)) {
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
            if (!isPlainName(file.name)) {
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
        return set;
    }

    std::span<const int> parts_;
    std::vector<std::uint8_t> buffer_;
    std::map<Md5, Collected> sets_;
    std::optional<Md5> decided_;
    std::uint64_t kept_ = 0;
};

} // namespace

std::expected<ParitySet, std::string> readSet(std::span<const int> parts)
{
    return SetReader(parts).read();
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
