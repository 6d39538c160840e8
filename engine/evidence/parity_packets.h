#pragma once

// Encoding the packets of a parity set, and the two checksums the format
// names: MD5 (of packets, files, slices and the set itself) and the CRC-32 of
// Ethernet and zip (of slices). Every packet is the header of
// parity_format.h, then a body of a multiple of 4 bytes, all little-endian.

#include "engine/evidence/parity_format.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace quelby::parity {

// MD5 of a stream of bytes, through OpenSSL. Throws std::runtime_error only
// where OpenSSL offers no MD5 or runs out of memory.
class Md5Stream
{
public:
    Md5Stream();
    void update(const void* data, std::size_t size);
    // The digest of everything given so far; the stream then starts again.
    Md5 finish();

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

Md5 md5Of(std::string_view bytes);

// The running CRC-32 of Ethernet and zip: start from 0, pass each piece in turn.
std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// MD5 of the first 16 KiB, the length and the name unpadded.
Md5 fileId(const Md5& md5First16k, std::uint64_t length, std::string_view name);

// The Main packet's order of file IDs, which gives the slices their
// constants: by numerical value, each ID read as a little-endian integer
// like every number of the format.
bool numericallyBefore(const Md5& a, const Md5& b);

// Bodies of the packets. The Main body's MD5 is the recovery set ID.
std::string mainBody(std::uint64_t sliceSize, std::vector<Md5> fileIds);
std::string fileDescriptionBody(const InputFile& file);
std::string sliceChecksumBody(const InputFile& file);
std::string creatorBody(std::string_view text);
std::string quelbyFilesBody(unsigned percent, std::span<const CoveredRecord> records);

// A whole packet of this type and body (padded with zeros to a multiple of 4).
std::string packet(const Md5& setId, std::string_view type, std::string_view body);

// The 64-byte header of a packet whose body is too large to copy, given the
// body's size and the packet's MD5 (which covers set ID, type and body).
std::string packetHeader(const Md5& setId, std::string_view type, std::uint64_t bodySize,
                         const Md5& packetMd5);

// The MD5 a packet header carries, fed the set ID and type first, then the body.
Md5Stream packetMd5Stream(const Md5& setId, std::string_view type);

} // namespace quelby::parity
