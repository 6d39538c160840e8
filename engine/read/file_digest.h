#pragma once

// SHA-256 of a file's contents, streamed through one buffer of the caller's
// size. Only regular files are read; a failed or inconsistent read is a
// failure, never a digest.

#include "engine/platform/posix_error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

struct evp_md_ctx_st;

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


inline constexpr std::string_view kFileChangedWhileRead = "file changed while it was being read";

// A digest; no value when no input can be made for the entry (not a regular
// file); or why its contents could not be read: an errno with its system text,
// or (code 0) a message of our own.
using DigestResult = std::expected<std::optional<Digest>, PosixError>;

// SHA-256 of bytes given in pieces. ok() turns false, until the next
// restart, should OpenSSL fail; finish then fails too.
class Sha256Stream
{
public:
    Sha256Stream();
    // Begins a new digest on the same context, which saves making one afresh.
    void restart();
    bool ok() const { return ok_; }
    void update(const void* data, std::size_t size);
    bool finish(Digest& digest);

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
    bool ok_ = false;
};

// A writer can keep the size and put the modification time back, but no
// program can set the change time: any write in between moves it. True when
// the two looks at a file show the same file, size and times.
bool sameState(const struct stat& before, const struct stat& after);

// The one read buffer of a walk, reused for every file it digests, with a
// digest context reused likewise. A buffer serves one digest at a time.
class ReadBuffer
{
public:
    // Refuses a size below 1 byte; a size that cannot be allocated is ENOMEM.
    static std::expected<ReadBuffer, PosixError> allocate(std::int64_t size);

    unsigned char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    // The digest of what is read into this buffer; restart it for each file.
    // Made on first use: a run that digests nothing never sets SHA-256 up.
    Sha256Stream& hash() const
    {
        if (!hash_) {
            hash_.emplace();
        }
        return *hash_;
    }

private:
    struct Deleter
    {
        void operator()(unsigned char* data) const;
    };
    ReadBuffer(unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    std::unique_ptr<unsigned char, Deleter> data_;
    std::size_t size_ = 0;
    mutable std::optional<Sha256Stream> hash_;
};

// The read buffers of one run take at most this much memory together,
// whatever the number of jobs and the buffer size ask for.
inline constexpr std::int64_t kRunBufferMemory = std::int64_t{256} << 20;

// The size of each read buffer of a run that digests jobs files at once: the
// size asked for, or less where the buffers of all jobs, the walk's own and
// a repair's would together take more than kRunBufferMemory. Reading less at
// a time changes nothing but the number of reads.
std::int64_t cappedBufferSize(std::int64_t realBufferSize, std::size_t jobs);

// Called after every read with the bytes it delivered; returning false stops
// the digest, which then ends as a failure.
using ReadObserver = std::function<bool(std::size_t bytesRead)>;

// Digests the open file from its current offset, reading at most buffer.size() bytes at a time.
DigestResult fileDigest(int fd, const ReadBuffer& buffer, DigestBackEnd backEnd,
                        const ReadObserver& observer = {});

// The same from the file's state just taken with fstat, which saves taking it again.
DigestResult fileDigestFrom(int fd, const struct stat& before, const ReadBuffer& buffer,
                            DigestBackEnd backEnd, const ReadObserver& observer = {});

// The same with a buffer of bufferSize bytes allocated for this one file.
DigestResult fileDigest(int fd, std::int64_t bufferSize, DigestBackEnd backEnd,
                        const ReadObserver& observer = {});

// Opens the path (following symbolic links) and digests it.
DigestResult fileDigest(const std::string& path, std::int64_t bufferSize, DigestBackEnd backEnd);

// SHA-256 of bytes in memory.
Digest digestOfBytes(std::string_view bytes);

} // namespace quelby
