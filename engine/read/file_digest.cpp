#include "engine/read/file_digest.h"

#include "engine/platform/sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>

namespace quelby {

DigestBackEnd platformDigestBackEnd()
{
    return DigestBackEnd::current;
}

namespace {

// Fetched once: the implicit fetch behind EVP_sha256() costs a lookup on every init.
const EVP_MD* sha256()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md != nullptr ? md : EVP_sha256();
}

struct ContextDeleter
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

PosixError ownFailure(std::string_view message)
{
    return PosixError{0, std::string(message)};
}

} // namespace

bool sameState(const struct stat& before, const struct stat& after)
{
    const auto sameTime = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
           before.st_size == after.st_size && sameTime(before.st_mtim, after.st_mtim) &&
           sameTime(before.st_ctim, after.st_ctim);
}

void Sha256Stream::ContextDeleter::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new())
{
    restart();
}

void Sha256Stream::restart()
{
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_.get(), sha256(), nullptr) == 1;
}

void Sha256Stream::update(const void* data, std::size_t size)
{
    ok_ = ok_ && EVP_DigestUpdate(context_.get(), data, size) == 1;
}

bool Sha256Stream::finish(Digest& digest)
{
    unsigned int length = 0;
    return ok_ && EVP_DigestFinal_ex(context_.get(), digest.bytes.data(), &length) == 1 &&
           length == digest.bytes.size();
}

void ReadBuffer::Deleter::operator()(unsigned char* data) const
{
    std::free(data);
}

std::expected<ReadBuffer, PosixError> ReadBuffer::allocate(std::int64_t size)
{
    if (size < 1) {
        return std::unexpected(PosixError{EINVAL, "buffer size must be at least 1 byte"});
    }
    const auto bytes = static_cast<std::size_t>(size);
    // Page-aligned, so the kernel's copy out of the page cache runs at full speed.
    void* memory = nullptr;
    const int allocated =
        ::posix_memalign(&memory, bytes >= 4096 ? 4096 : alignof(std::max_align_t), bytes);
    if (allocated != 0) {
        return std::unexpected(posixError(allocated));
    }
    return ReadBuffer(static_cast<unsigned char*>(memory), bytes);
}

std::int64_t cappedBufferSize(std::int64_t realBufferSize, std::size_t jobs)
{
    constexpr std::int64_t kPage = 4096;
    const auto buffers = static_cast<std::int64_t>(std::max<std::size_t>(jobs, 1)) + 2;
    const std::int64_t share = kRunBufferMemory / buffers / kPage * kPage;
    return std::min(realBufferSize, share);
}

DigestResult fileDigest(int fd, std::int64_t bufferSize, DigestBackEnd backEnd,
                        const ReadObserver& observer)
{
    auto buffer = ReadBuffer::allocate(bufferSize);
    if (!buffer) {
        return std::unexpected(buffer.error());
    }
    return fileDigest(fd, *buffer, backEnd, observer);
}

DigestResult fileDigest(int fd, const ReadBuffer& buffer, DigestBackEnd backEnd,
                        const ReadObserver& observer)
{
    const auto before = sys::fstat(fd);
    if (!before) {
        return std::unexpected(before.error());
    }
    return fileDigestFrom(fd, *before, buffer, backEnd, observer);
}

DigestResult fileDigestFrom(int fd, const struct stat& state, const ReadBuffer& buffer,
                            DigestBackEnd, const ReadObserver& observer)
{
    // Both back ends are standard SHA-256; one implementation serves them.
    const struct stat* before = &state;
    if (!S_ISREG(before->st_mode)) {
        return std::optional<Digest>{};
    }
    const std::size_t size = buffer.size();
    Sha256Stream& hash = buffer.hash();
    hash.restart();
    if (!hash.ok()) {
        return std::unexpected(ownFailure("SHA-256 is not available"));
    }
    if (static_cast<std::uint64_t>(before->st_size) > size) {
        (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    // Read what fstat promised, then once more to see the end: a file that
    // grows or shrinks meanwhile is not digested, so a growing file cannot
    // keep the walk reading for ever.
    auto remaining = static_cast<std::uint64_t>(std::max<off_t>(before->st_size, 0));
    for (;;) {
        const std::size_t wanted =
            remaining == 0 ? size
                           : static_cast<std::size_t>(std::min<std::uint64_t>(remaining, size));
        const auto count = sys::read(fd, buffer.data(), wanted);
        if (!count) {
            return std::unexpected(count.error());
        }
        if (remaining == 0) {
            if (*count != 0) {
                return std::unexpected(ownFailure(kFileChangedWhileRead));
            }
            break;
        }
        if (*count == 0) {
            return std::unexpected(ownFailure(kFileChangedWhileRead));
        }
        hash.update(buffer.data(), *count);
        remaining -= *count;
        if (observer && !observer(*count)) {
            return std::unexpected(posixError(ECANCELED));
        }
    }

    const auto after = sys::fstat(fd);
    if (!after) {
        return std::unexpected(after.error());
    }
    if (!sameState(*before, *after)) {
        return std::unexpected(ownFailure(kFileChangedWhileRead));
    }
    Digest digest;
    if (!hash.finish(digest)) {
        return std::unexpected(ownFailure("SHA-256 computation failed"));
    }
    return digest;
}

DigestResult fileDigest(const std::string& path, std::int64_t bufferSize, DigestBackEnd backEnd)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    auto opened = sys::openAt(AT_FDCWD, path, flags);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    FileDescriptor file(*opened);
    auto result = fileDigest(file.get(), bufferSize, backEnd);
    if (auto closed = file.close(); !closed && result) {
        return std::unexpected(closed.error());
    }
    return result;
}

Digest digestOfBytes(std::string_view bytes)
{
    Digest digest;
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.bytes.data(), &length, sha256(), nullptr);
    return digest;
}

} // namespace quelby
