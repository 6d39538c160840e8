#pragma once

// A parity set as it lies on disk: PAR 2.0 packets (Main, File Description,
// Input File Slice Checksum, Recovery Slice, Creator) and one packet of
// Quelby's own, which records what Quelby knows of each covered file. What a
// set holds once read, whoever wrote it, and the names it lives under.

#include "engine/read/file_digest.h"

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby::parity {

struct Md5
{
    std::array<std::uint8_t, 16> bytes{};
    friend auto operator<=>(const Md5&, const Md5&) = default;
};

// Every packet starts with this, then its length, its MD5, the set's ID and its type.
inline constexpr std::string_view kPacketMagic{"PAR2\0PKT", 8};
inline constexpr std::size_t kPacketHeaderSize = 64;
inline constexpr std::string_view kMainType{"PAR 2.0\0Main\0\0\0\0", 16};
inline constexpr std::string_view kFileDescriptionType{"PAR 2.0\0FileDesc", 16};
inline constexpr std::string_view kSliceChecksumType{"PAR 2.0\0IFSC\0\0\0\0", 16};
inline constexpr std::string_view kRecoverySliceType{"PAR 2.0\0RecvSlic", 16};
inline constexpr std::string_view kCreatorType{"PAR 2.0\0Creator\0", 16};
// Quelby's own packet: each covered file's name, size, SHA-256, stamp,
// modification time and mode, empty files included. Its body, little-endian:
// version (4 bytes, 1), percent (4), record count (4), then per record: size
// (8), SHA-256 (32), modification seconds (8, signed), nanoseconds (4), mode
// (4), name length (4), stamp length (4; 0xFFFFFFFF for none), the name and
// the stamp, each padded with zeros to a multiple of 4.
inline constexpr std::string_view kQuelbyFilesType{"Quelby\0Files\0\0\0\0", 16};

struct SliceChecksum
{
    Md5 md5;
    std::uint32_t crc32 = 0;
};

// One input file of the PAR 2.0 recovery set.
struct InputFile
{
    Md5 id;
    Md5 md5;          // of the whole file
    Md5 md5First16k;  // of its first 16 KiB
    std::uint64_t length = 0;
    std::string name; // relative to the set's folder, '/' between folders
    std::vector<SliceChecksum> slices; // empty when no checksum packet was read
};

// What Quelby's packet says of one covered file.
struct CoveredRecord
{
    std::string name;
    std::uint64_t size = 0;
    Digest sha256;
    std::optional<std::string> stamp; // the stored time stamp's bytes, when it had one
    std::int64_t modifiedSeconds = 0;
    std::uint32_t modifiedNanoseconds = 0;
    std::uint32_t mode = 0; // permission bits
};

// Where one recovery slice's data lies, to be read when it is needed.
struct RecoverySlice
{
    std::uint32_t exponent = 0;
    std::size_t part = 0;      // which of the set's files holds it
    std::uint64_t offset = 0;  // of its data in that file
};

struct ParitySet
{
    Md5 id;                       // the recovery set ID
    std::uint64_t sliceSize = 0;
    std::vector<InputFile> files; // in the Main packet's order: their slices' order
    std::vector<RecoverySlice> recovery; // intact ones, one per exponent
    std::vector<CoveredRecord> covered;  // empty for a set Quelby did not write
    bool writtenByQuelby = false;        // it carries Quelby's packet
    unsigned percent = 0;                // as Quelby's packet records it
    std::size_t skippedPackets = 0;      // packets passed over: their MD5 did not match
    std::string creator;
};

// The names of a folder's sets: ".quelby.par2", then ".quelby.2.par2", ...
std::string setFileName(int number);
// True for a name a walk passes over: a set, or a set being written.
bool isParityName(std::string_view name);

} // namespace quelby::parity
