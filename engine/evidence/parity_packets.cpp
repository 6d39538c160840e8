#include "engine/evidence/parity_packets.h"

#include <algorithm>
#include <array>
#include <openssl/evp.h>
#include <stdexcept>

namespace quelby::parity {

namespace {

// Fetched once: the implicit fetch behind EVP_md5() costs a lookup on every init.
const EVP_MD* md5Method()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md != nullptr ? md : EVP_md5();
}

void appendLittleEndian(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void appendMd5(std::string& out, const Md5& md5)
{
    out.append(reinterpret_cast<const char*>(md5.bytes.data()), md5.bytes.size());
}

void padToFour(std::string& out)
{
    out.resize((out.size() + 3) / 4 * 4, '\0');
}

// Eight tables, so that the loop takes eight bytes a step.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crcTables()
{
    static const CrcTables built = [] {
        CrcTables tables{};
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            }
            tables[0][byte] = crc;
        }
        for (std::size_t k = 1; k < tables.size(); ++k) {
            for (std::uint32_t byte = 0; byte < 256; ++byte) {
                const std::uint32_t previous = tables[k - 1][byte];
                tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
            }
        }
        return tables;
    }();
    return built;
}

} // namespace

void Md5Stream::ContextDeleter::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new())
{
    if (!context_ || EVP_DigestInit_ex(context_.get(), md5Method(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available");
    }
}

void Md5Stream::update(const void* data, std::size_t size)
{
    if (size > 0 && EVP_DigestUpdate(context_.get(), data, size) != 1) {
        throw std::runtime_error("MD5 computation failed");
    }
}

Md5 Md5Stream::finish()
{
    Md5 md5;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), md5.bytes.data(), &length) != 1 ||
        length != md5.bytes.size() ||
        EVP_DigestInit_ex(context_.get(), md5Method(), nullptr) != 1) {
        throw std::runtime_error("MD5 computation failed");
    }
    return md5;
}

Md5 md5Of(std::string_view bytes)
{
    Md5Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    const CrcTables& t = crcTables();
    crc = ~crc;
    while (size >= 8) {
        const std::uint32_t low = crc ^ (static_cast<std::uint32_t>(data[0]) |
                                         static_cast<std::uint32_t>(data[1]) << 8 |
                                         static_cast<std::uint32_t>(data[2]) << 16 |
                                         static_cast<std::uint32_t>(data[3]) << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        size -= 8;
    }
    while (size-- > 0) {
        crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
    }
    return ~crc;
}

Md5 fileId(const Md5& md5First16k, std::uint64_t length, std::string_view name)
{
    std::string fields;
    appendMd5(fields, md5First16k);
    appendLittleEndian(fields, length, 8);
    fields.append(name);
    return md5Of(fields);
}

bool numericallyBefore(const Md5& a, const Md5& b)
{
    return std::lexicographical_compare(a.bytes.rbegin(), a.bytes.rend(), b.bytes.rbegin(),
                                        b.bytes.rend());
}

std::string mainBody(std::uint64_t sliceSize, std::vector<Md5> fileIds)
{
    std::sort(fileIds.begin(), fileIds.end(), numericallyBefore);
    std::string body;
    appendLittleEndian(body, sliceSize, 8);
    appendLittleEndian(body, fileIds.size(), 4);
    for (const Md5& id : fileIds) {
        appendMd5(body, id);
    }
    return body;
}

std::string fileDescriptionBody(const InputFile& file)
{
    std::string body;
    appendMd5(body, file.id);
    appendMd5(body, file.md5);
    appendMd5(body, file.md5First16k);
    appendLittleEndian(body, file.length, 8);
    body.append(file.name);
    padToFour(body);
    return body;
}

std::string sliceChecksumBody(const InputFile& file)
{
    std::string body;
    body.reserve(16 + 20 * file.slices.size());
    appendMd5(body, file.id);
    for (const SliceChecksum& slice : file.slices) {
        appendMd5(body, slice.md5);
        appendLittleEndian(body, slice.crc32, 4);
    }
    return body;
}

std::string creatorBody(std::string_view text)
{
    std::string body(text);
    padToFour(body);
    return body;
}

std::string quelbyFilesBody(unsigned percent, std::span<const CoveredRecord> records)
{
    constexpr std::uint32_t kVersion = 1;
    constexpr std::uint32_t kNoStamp = 0xFFFFFFFF;
    std::string body;
    appendLittleEndian(body, kVersion, 4);
    appendLittleEndian(body, percent, 4);
    appendLittleEndian(body, records.size(), 4);
    for (const CoveredRecord& record : records) {
        appendLittleEndian(body, record.size, 8);
        body.append(record.sha256.view());
        appendLittleEndian(body, static_cast<std::uint64_t>(record.modifiedSeconds), 8);
        appendLittleEndian(body, record.modifiedNanoseconds, 4);
        appendLittleEndian(body, record.mode, 4);
        appendLittleEndian(body, record.name.size(), 4);
        appendLittleEndian(body, record.stamp ? record.stamp->size() : kNoStamp, 4);
        body.append(record.name);
        padToFour(body);
        if (record.stamp) {
            body.append(*record.stamp);
            padToFour(body);
        }
    }
    return body;
}

Md5Stream packetMd5Stream(const Md5& setId, std::string_view type)
{
    Md5Stream stream;
    stream.update(setId.bytes.data(), setId.bytes.size());
    stream.update(type.data(), type.size());
    return stream;
}

std::string packetHeader(const Md5& setId, std::string_view type, std::uint64_t bodySize,
                         const Md5& packetMd5)
{
    std::string header(kPacketMagic);
    appendLittleEndian(header, kPacketHeaderSize + bodySize, 8);
    appendMd5(header, packetMd5);
    appendMd5(header, setId);
    header.append(type);
    return header;
}

std::string packet(const Md5& setId, std::string_view type, std::string_view body)
{
    std::string padded(body);
    padToFour(padded);
    Md5Stream stream = packetMd5Stream(setId, type);
    stream.update(padded.data(), padded.size());
    std::string whole = packetHeader(setId, type, padded.size(), stream.finish());
    whole.append(padded);
    return whole;
}

} // namespace quelby::parity
