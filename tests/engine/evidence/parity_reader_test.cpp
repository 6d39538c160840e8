#include "engine/evidence/parity_reader.h"

#include <functional>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

namespace quelby::parity {
namespace {

std::string littleEndian(std::uint64_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return out;
}

std::string md5Of(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string padded(std::string text)
{
    text.resize((text.size() + 3) / 4 * 4, '\0');
    return text;
}

// A packet as a hostile writer would make it: whatever the body, a true MD5.
std::string packet(std::string_view setId, std::string_view type, std::string_view body)
{
    const std::string hashed = std::string(setId) + std::string(type) + std::string(body);
    return std::string(kPacketMagic) + littleEndian(32 + hashed.size(), 8) + md5Of(hashed) + hashed;
}

struct HandFile
{
    std::string name;
    std::uint64_t length = 0;
};

// A small set made by hand, and what each case changes in it.
struct Design
{
    std::uint64_t sliceSize = 8;
    std::vector<HandFile> files = {{"photo.jpg", 20}, {"notes.txt", 5}};
    std::optional<std::uint32_t> mainCount;
    bool unpaddedName = false; // the first file's descriptions not a multiple of 4 long
    std::size_t extraChecksums = 0;
    std::string coveredName = "photo.jpg";
    std::optional<std::uint32_t> coveredCount;
    std::string intruder; // a packet of another set, placed first
    std::function<void(std::string&, const std::vector<std::size_t>&)> damage;
};

const std::string kSetId(16, 'S');

std::string fileId(const HandFile& file)
{
    return md5Of(file.name + littleEndian(file.length, 8));
}

std::string description(const HandFile& file, bool unpadded = false)
{
    return fileId(file) + std::string(16, 'm') + std::string(16, 'k') +
           littleEndian(file.length, 8) + (unpadded ? file.name : padded(file.name));
}

std::string quelbyPacket(const Design& design)
{
    std::string body =
        littleEndian(1, 4) + littleEndian(5, 4) + littleEndian(design.coveredCount.value_or(2), 4);
    const auto record = [&body](std::string_view name, std::uint64_t size,
                                std::optional<std::string> stamp) {
        body += littleEndian(size, 8) + std::string(32, static_cast<char>(size)) +
                littleEndian(1700000000, 8) + littleEndian(250, 4) + littleEndian(0640, 4) +
                littleEndian(name.size(), 4) + littleEndian(stamp ? stamp->size() : 0xFFFFFFFF, 4) +
                padded(std::string(name)) + padded(stamp.value_or(""));
    };
    record(design.coveredName, 20, "2026-01-02T03_04_05Z");
    record("empty", 0, std::nullopt);
    return packet(kSetId, kQuelbyFilesType, body);
}

// Description copies, Main, description copies again, checksums, recovery
// slices (exponents 0, 1, 1 again, 2 with too little data, 3), Quelby's
// packet and the creator; offsets lists where each packet starts.
std::string build(const Design& design, std::vector<std::size_t>& offsets)
{
    std::vector<std::string> packets;
    if (!design.intruder.empty()) {
        packets.push_back(design.intruder);
    }
    for (const auto& file : design.files) {
        packets.push_back(
            packet(kSetId, kFileDescriptionType,
                   description(file, design.unpaddedName && &file == &design.files[0])));
    }
    std::string main =
        littleEndian(design.sliceSize, 8) +
        littleEndian(design.mainCount.value_or(static_cast<std::uint32_t>(design.files.size())), 4);
    for (const auto& file : design.files) {
        main += fileId(file);
    }
    packets.push_back(packet(kSetId, kMainType, main));
    for (const auto& file : design.files) {
        packets.push_back(
            packet(kSetId, kFileDescriptionType,
                   description(file, design.unpaddedName && &file == &design.files[0])));
    }
    for (std::size_t f = 0; f < design.files.size(); ++f) {
        const auto& file = design.files[f];
        std::uint64_t count =
            design.sliceSize == 0 ? 0 : (file.length + design.sliceSize - 1) / design.sliceSize;
        count += f == 0 ? design.extraChecksums : 0;
        std::string body = fileId(file);
        for (std::uint64_t i = 0; i < count; ++i) {
            body += md5Of(file.name + std::to_string(i)) + littleEndian(i, 4);
        }
        packets.push_back(packet(kSetId, kSliceChecksumType, body));
    }
    const std::uint64_t data = design.sliceSize <= 4096 ? design.sliceSize : 8;
    for (const auto& [exponent, length] : std::vector<std::pair<std::uint32_t, std::uint64_t>>{
             {0, data}, {1, data}, {1, data}, {2, data + 4}, {3, data}}) {
        packets.push_back(packet(kSetId, kRecoverySliceType,
                                 littleEndian(exponent, 4) + std::string(length, 'r')));
    }
    packets.push_back(quelbyPacket(design));
    packets.push_back(packet(kSetId, kCreatorType, padded("hand made")));
    std::string bytes;
    for (const auto& one : packets) {
        offsets.push_back(bytes.size());
        bytes += one;
        bytes.resize((bytes.size() + 3) / 4 * 4, 'j'); // where the next packet is looked for
    }
    if (design.damage) {
        design.damage(bytes, offsets);
    }
    return bytes;
}

int memoryFile(std::string_view bytes)
{
    const int fd = ::memfd_create("set", MFD_CLOEXEC);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return fd;
}

// What a read set says, in one line to compare.
std::string summary(const ParitySet& set)
{
    std::string text = "slice " + std::to_string(set.sliceSize) + ";";
    for (const auto& file : set.files) {
        text += " " + file.name + " " + std::to_string(file.length) + "/" +
                std::to_string(file.slices.size());
    }
    text += "; recovery";
    for (const auto& slice : set.recovery) {
        text += " " + std::to_string(slice.exponent);
    }
    text += "; " + std::to_string(set.percent) + "%" + (set.writtenByQuelby ? "" : " foreign");
    for (const auto& record : set.covered) {
        text += " " + record.name + " " + std::to_string(record.size) + " " +
                std::to_string(record.sha256.bytes[31]) + " " +
                std::to_string(record.modifiedSeconds) + "." +
                std::to_string(record.modifiedNanoseconds) + " " + std::to_string(record.mode) +
                " " + record.stamp.value_or("-");
    }
    return text + "; " + set.creator;
}

TEST(ParityReader, ReadsEveryPacketOfASetAndRefusesOneThatNamesAnythingButItsOwnFiles)
{
    const std::string intact = "slice 8; photo.jpg 20/3 notes.txt 5/1; recovery 0 1 3"
                               "; 5% photo.jpg 20 20 1700000000.250 416 2026-01-02T03_04_05Z "
                               "empty 0 0 1700000000.250 416 -; hand made";
    const auto flip = [](std::size_t packetIndex, std::size_t at) {
        return [packetIndex, at](std::string& bytes, const std::vector<std::size_t>& offsets) {
            bytes[offsets[packetIndex] + at] ^= 0x01;
        };
    };
    const auto setLength = [](std::size_t packetIndex,
                              std::function<std::uint64_t(std::uint64_t)> length) {
        return [packetIndex, length](std::string& bytes, const std::vector<std::size_t>& offsets) {
            const std::size_t at = offsets[packetIndex];
            bytes.replace(at + 8, 8, littleEndian(length(bytes.size() - at), 8));
        };
    };
    std::vector<HandFile> tooMany;
    for (int i = 0; i <= 32768; ++i) {
        tooMany.push_back({"f" + std::to_string(i), 0});
    }

    using Change = std::function<void(Design&)>;
    struct Case
    {
        std::string what;
        Change change;
        bool refused;
    };
    const auto name = [](std::string first) {
        return [first](Design& d) { d.files[0].name = first; };
    };
    const std::vector<Case> cases = {
        {"an intact set", [](Design&) {}, false},
        {"a name with a slash", name("sub/photo.jpg"), true},
        {"an absolute name", name("/etc/passwd"), true},
        {"a name ..", name(".."), true},
        {"a name .", name("."), true},
        {"a name with a NUL", name(std::string("a\0b", 3)), true},
        {"an empty name", name(""), true},
        {"a covered name going up", [](Design& d) { d.coveredName = "../photo.jpg"; }, true},
        {"a covered count beyond the packet", [](Design& d) { d.coveredCount = 0xFFFFFFFF; }, true},
        {"a first description longer than the file",
         [&](Design& d) { d.damage = setLength(0, [](std::uint64_t left) { return left + 4; }); },
         false},
        {"a first description of a huge length",
         [&](Design& d) { d.damage = setLength(0, [](std::uint64_t) { return 1ull << 62; }); },
         false},
        {"a description not a multiple of 4 long", [](Design& d) { d.unpaddedName = true; }, true},
        {"a block size of 0", [](Design& d) { d.sliceSize = 0; }, true},
        {"a block size not a multiple of 4", [](Design& d) { d.sliceSize = 6; }, true},
        {"a block size of 2 GiB", [](Design& d) { d.sliceSize = 2ull << 30; }, true},
        {"a file count beyond the Main packet", [](Design& d) { d.mainCount = 0xFFFFFFFF; }, true},
        {"more files than the format allows", [&](Design& d) { d.files = tooMany; }, true},
        {"more blocks than the format allows",
         [](Design& d) {
             d.sliceSize = 4;
             d.files = {{"big", 4 * 32769}};
         },
         true},
        {"one checksum too many", [](Design& d) { d.extraChecksums = 1; }, true},
        {"a damaged first copy of a description", [&](Design& d) { d.damage = flip(0, 64 + 56); },
         false},
        {"the only Main packet damaged", [&](Design& d) { d.damage = flip(2, 70); }, true},
        {"junk between packets",
         [](Design& d) {
             d.damage = [](std::string& bytes, const std::vector<std::size_t>& offsets) {
                 bytes.insert(offsets[2], std::string("PAR2\0PK", 7) + "x");
             };
         },
         false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        Design design;
        test.change(design);
        std::vector<std::size_t> offsets;
        const int fd = memoryFile(build(design, offsets));
        const int parts[] = {fd};
        const auto set = readSet(parts);
        if (test.refused) {
            EXPECT_FALSE(set.has_value()) << summary(*set);
            EXPECT_FALSE(!set && set.error().empty());
        } else {
            ASSERT_TRUE(set.has_value()) << set.error();
            EXPECT_EQ(summary(*set), intact);
        }
        ::close(fd);
    }
}

TEST(ParityReader, TakesTheSetOfTheFirstMainPacketAndFindsItsSlicesInEveryPart)
{
    // A description of the same file in another set, ahead of everything.
    Design design;
    const std::string otherSet(16, 'O');
    design.intruder = packet(otherSet, kFileDescriptionType,
                             fileId(design.files[0]) + std::string(40, 'x') + padded("intruder"));
    std::vector<std::size_t> offsets;
    const int first = memoryFile(build(design, offsets));
    // A second part with the other set's Main and a recovery slice of each set.
    const int second =
        memoryFile(packet(otherSet, kMainType, littleEndian(8, 8) + littleEndian(0, 4)) +
                   packet(otherSet, kRecoverySliceType, littleEndian(9, 4) + std::string(8, 'o')) +
                   packet(kSetId, kRecoverySliceType, littleEndian(7, 4) + "recover7"));
    const int parts[] = {first, second};
    const auto set = readSet(parts);
    ASSERT_TRUE(set.has_value()) << set.error();
    ASSERT_EQ(set->files.size(), 2u);
    EXPECT_EQ(set->files[0].name, "photo.jpg");
    ASSERT_EQ(set->recovery.size(), 4u);
    const RecoverySlice last = set->recovery.back();
    EXPECT_EQ(last.exponent, 7u);
    EXPECT_EQ(last.part, 1u);
    std::string data(8, '\0');
    ASSERT_TRUE(readRecoveryData(parts, set->recovery[0], 0, 8,
                                 reinterpret_cast<std::uint8_t*>(data.data())));
    EXPECT_EQ(data, std::string(8, 'r'));
    data.resize(6);
    ASSERT_TRUE(readRecoveryData(parts, last, 2, 6, reinterpret_cast<std::uint8_t*>(data.data())));
    EXPECT_EQ(data, "cover7");
    EXPECT_FALSE(readRecoveryData(parts, last, 4, 6, reinterpret_cast<std::uint8_t*>(data.data())));
    ::close(first);
    ::close(second);
}

} // namespace
} // namespace quelby::parity
