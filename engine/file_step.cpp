#include "file_step.h"

#include "report_text.h"
#include "time_stamp.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <random>
#include <unistd.h>

namespace quelby {

FileVisit::FileVisit(const RunOptions& runOptions, RunState& runState, RunObserver& runObserver,
                     const ReadBuffer& readBuffer, int descriptor, std::string displayPath)
    : options(runOptions), state(runState), observer(runObserver), buffer(readBuffer),
      fd(descriptor), path(std::move(displayPath))
{
}

DigestResult FileVisit::digest()
{
    // A pipe put in a file's place after the listing cannot seek; the digest
    // then finds it is no regular file, as the walk would have.
    if (::lseek(fd, 0, SEEK_SET) != 0 && errno != ESPIPE) {
        const PosixError error = posixError(errno);
        return std::unexpected(ReadFailure{error.code, error.description});
    }
    auto result = fileDigest(fd, buffer, options.backEnd, [this](std::size_t count) {
        state.bytesRead += static_cast<std::int64_t>(count);
        observer.progress(RunProgress{state.totalCount, state.bytesRead, path});
        return !observer.stopRequested();
    });
    stopped_ = !result && observer.stopRequested();
    return result;
}

std::optional<Digest> FileVisit::digestOrReport()
{
    const auto result = digest();
    if (result) {
        return *result;
    }
    if (!stopped_) {
        reportUnreadable(result.error().description);
    }
    return std::nullopt;
}

void FileVisit::reportUnreadable(const std::string& reason)
{
    quelby::reportUnreadable(options, state, observer, path, reason);
}

std::expected<std::optional<Bytes>, PosixError> FileVisit::storedDigest()
{
    auto value = readExtendedAttribute(fd, kDigestAttributeName);
    if (value) {
        return std::optional<Bytes>(std::move(*value));
    }
    if (value.error().code == ENODATA || value.error().code == EOPNOTSUPP) {
        return std::optional<Bytes>{};
    }
    return std::unexpected(value.error());
}

std::expected<void, PosixError> FileVisit::writeDigest(const Digest& digest)
{
    return writeExtendedAttribute(fd, kDigestAttributeName, digest.view());
}

void FileVisit::writeTimeStamp()
{
    const std::string text = timeStampText(std::chrono::system_clock::now());
    (void)writeExtendedAttribute(fd, kTimeAttributeName, text);
}

void reportUnreadable(const RunOptions& options, RunState& state, RunObserver& observer,
                      const std::string& path, const std::string& reason)
{
    const std::string line = report::couldntReadLine(path, reason);
    ++state.failureCount;
    if (options.operation == Operation::tag) {
        ++state.errorCount;
        observer.notice(line);
    } else {
        state.pendingText += line;
    }
}

namespace {

std::array<unsigned char, 32> processHashKey()
{
    std::array<unsigned char, 32> key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        std::random_device device;
        for (auto& byte : key) {
            byte = static_cast<unsigned char>(device());
        }
    }
    return key;
}

} // namespace

std::int64_t digestHashNumber(const Digest& digest)
{
    static const std::array<unsigned char, 32> key = processHashKey();
    std::array<unsigned char, 64> input{};
    std::memcpy(input.data(), key.data(), key.size());
    std::memcpy(input.data() + key.size(), digest.bytes.data(), digest.bytes.size());
    const Digest keyed =
        digestOfBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
    std::int64_t number = 0;
    std::memcpy(&number, keyed.bytes.data(), sizeof number);
    return number;
}

} // namespace quelby
