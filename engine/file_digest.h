#pragma once

// SHA-256 of a file's contents, streamed through one buffer of the caller's
// size. Only regular files are read; a failed or inconsistent read is a
// failure, never a digest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quelby {

enum class DigestBackEnd
{
    current,
    legacy
};

// The back end this platform's runs use; the CLI and the desktop app both ask here.
DigestBackEnd platformDigestBackEnd();

struct Digest
{
    std::array<unsigned char, 32> bytes{};

    // The raw bytes, as the digest attribute stores them.
    std::string_view view() const
    {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
    // True only for a stored value of exactly these 32 bytes.
    bool matches(std::string_view stored) const { return stored == view(); }
    friend bool operator==(const Digest&, const Digest&) = default;
};

// Why a file's contents could not be digested: an errno with its system text,
// or (code 0) a message of our own.
struct ReadFailure
{
    int code = 0;
    std::string description;
};

inline constexpr std::string_view kFileChangedWhileRead = "file changed while it was being read";

// A digest; no value when no input can be made for the entry (not a regular
// file); or the read failure.
using DigestResult = std::expected<std::optional<Digest>, ReadFailure>;

// Called after every read with the bytes it delivered; returning false stops
// the digest, which then ends as a failure.
using ReadObserver = std::function<bool(std::size_t bytesRead)>;

// Digests the open file from its current offset, reading at most bufferSize bytes at a time.
DigestResult fileDigest(int fd, std::int64_t bufferSize, DigestBackEnd backEnd,
                        const ReadObserver& observer = {});

// Opens the path (following symbolic links) and digests it.
DigestResult fileDigest(const std::string& path, std::int64_t bufferSize, DigestBackEnd backEnd);

// SHA-256 of bytes in memory.
Digest digestOfBytes(std::string_view bytes);

} // namespace quelby
