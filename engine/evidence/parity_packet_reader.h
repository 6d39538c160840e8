#pragma once

// What the body of each packet of a set says. Every count and length in a
// body is checked against the bytes that are there before anything is
// allocated for it; a body that does not hold together says so.

#include "engine/evidence/parity_format.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelby::parity {

// The largest block size and file count a set may claim.
inline constexpr std::uint64_t kMaxSliceSize = 1ull << 30;
inline constexpr std::uint32_t kMaxFiles = 32768;

std::uint32_t readLe32(const std::uint8_t* at);
std::uint64_t readLe64(const std::uint8_t* at);
Md5 readMd5(const std::uint8_t* at);
std::uint64_t roundUpTo4(std::uint64_t length);

// A name that can only mean a file in the set's own folder.
bool isPlainSetName(std::string_view name);

using Body = std::span<const std::uint8_t>;

struct MainPacket
{
    std::string problem; // why the set cannot be used, when it cannot
    std::uint64_t sliceSize = 0;
    std::vector<Md5> fileIds;
};

struct QuelbyFiles
{
    std::string problem;
    unsigned percent = 0;
    std::vector<CoveredRecord> records;
};

MainPacket parseMain(Body body);
// The description, its name as written: whether it is plain is the set's to judge.
std::optional<InputFile> parseDescription(Body body);
// The slices' checksums and the file they belong to.
std::optional<std::vector<SliceChecksum>> parseChecksums(Body body, Md5& fileId);
// As many records as Quelby's packet claims, at most as many as its body can hold.
std::uint64_t claimedQuelbyRecords(Body body);
// Quelby's own packet; none for another version of it, as for an unknown type.
std::optional<QuelbyFiles> parseQuelbyFiles(Body body);

} // namespace quelby::parity
