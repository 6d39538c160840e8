#include "engine/evidence/parity_packet_reader.h"

#include <cstring>

namespace quelby::parity {

namespace {

constexpr std::uint32_t kQuelbyVersion = 1;
constexpr std::uint32_t kNoStamp = 0xFFFFFFFF;
constexpr std::size_t kQuelbyRecordFixedSize = 8 + 32 + 8 + 4 + 4 + 4 + 4;
// Every record takes its fixed part and at least four bytes of name.
constexpr std::size_t kQuelbyRecordLeastSize = kQuelbyRecordFixedSize + 4;

} // namespace

std::uint32_t readLe32(const std::uint8_t* at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

std::uint64_t readLe64(const std::uint8_t* at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

Md5 readMd5(const std::uint8_t* at)
{
    Md5 md5;
    std::memcpy(md5.bytes.data(), at, md5.bytes.size());
    return md5;
}

std::uint64_t roundUpTo4(std::uint64_t length)
{
    return (length + 3) / 4 * 4;
}

bool isPlainSetName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

MainPacket parseMain(Body body)
{
    MainPacket main;
    if (body.size() < 12) {
        main.problem = "the parity set's main packet is malformed";
        return main;
    }
    main.sliceSize = readLe64(body.data());
    const std::uint32_t count = readLe32(body.data() + 8);
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
        main.fileIds.push_back(readMd5(body.data() + 12 + 16 * std::size_t{i}));
    }
    return main;
}

std::optional<InputFile> parseDescription(Body body)
{
    if (body.size() < 56) {
        return std::nullopt;
    }
    InputFile file;
    file.id = readMd5(body.data());
    file.md5 = readMd5(body.data() + 16);
    file.md5First16k = readMd5(body.data() + 32);
    file.length = readLe64(body.data() + 48);
    std::string_view name(reinterpret_cast<const char*>(body.data() + 56), body.size() - 56);
    // One to three zeros pad a name to a multiple of 4; a zero before those is in the name.
    for (int padding = 0; padding < 3 && name.ends_with('\0'); ++padding) {
        name.remove_suffix(1);
    }
    file.name = name;
    return file;
}

std::optional<std::vector<SliceChecksum>> parseChecksums(Body body, Md5& fileId)
{
    if (body.size() < 16 || (body.size() - 16) % 20 != 0) {
        return std::nullopt;
    }
    fileId = readMd5(body.data());
    std::vector<SliceChecksum> slices((body.size() - 16) / 20);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::uint8_t* entry = body.data() + 16 + 20 * i;
        slices[i].md5 = readMd5(entry);
        slices[i].crc32 = readLe32(entry + 16);
    }
    return slices;
}

// Its layout is described beside its type.
std::optional<QuelbyFiles> parseQuelbyFiles(Body body)
{
    if (body.size() < 12 || readLe32(body.data()) != kQuelbyVersion) {
        return std::nullopt; // another version's packet: as if of an unknown type
    }
    QuelbyFiles files;
    files.percent = readLe32(body.data() + 4);
    const std::uint32_t count = readLe32(body.data() + 8);
    const auto malformed = [&files] {
        files.records.clear();
        files.problem = "the parity set's own list of files is malformed";
        return files;
    };
    if (count > (body.size() - 12) / kQuelbyRecordLeastSize) {
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
        record.size = readLe64(fixed);
        std::memcpy(record.sha256.bytes.data(), fixed + 8, record.sha256.bytes.size());
        record.modifiedSeconds = static_cast<std::int64_t>(readLe64(fixed + 40));
        record.modifiedNanoseconds = readLe32(fixed + 48);
        record.mode = readLe32(fixed + 52);
        const std::uint32_t nameLength = readLe32(fixed + 56);
        const std::uint32_t stampLength = readLe32(fixed + 60);
        at += kQuelbyRecordFixedSize;
        const std::uint64_t nameSpace = roundUpTo4(nameLength);
        const std::uint64_t stampSpace = stampLength == kNoStamp ? 0 : roundUpTo4(stampLength);
        if (nameSpace > body.size() - at || stampSpace > body.size() - at - nameSpace) {
            return malformed();
        }
        record.name.assign(reinterpret_cast<const char*>(body.data() + at), nameLength);
        at += nameSpace;
        if (stampLength != kNoStamp) {
            record.stamp.emplace(reinterpret_cast<const char*>(body.data() + at), stampLength);
            at += stampSpace;
        }
        if (!isPlainSetName(record.name) || record.modifiedNanoseconds >= 1'000'000'000) {
            return malformed();
        }
        files.records.push_back(std::move(record));
    }
    return files;
}

std::uint64_t claimedQuelbyRecords(Body body)
{
    const std::uint64_t claimed = body.size() >= 12 ? readLe32(body.data() + 8) : 0;
    return std::min<std::uint64_t>(claimed, body.size() / kQuelbyRecordLeastSize);
}

} // namespace quelby::parity
