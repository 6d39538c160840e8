// The floor under a Check of many small files: the calls a Check cannot do
// without for each file, and nothing else. It takes the files from a list made
// beforehand, so there is no walk, no ordering and no report; what a Check
// costs beyond this program's time is what its own machinery costs.
//
//   find TREE -type f -print0 | read_floor [THREADS]
//
// Each thread takes the next path from one shared index and opens it, asks
// fstat for its status, reads it to the end into the thread's own buffer of
// 1 MiB, digests it with SHA-256 through EVP, reads the stored digest from its
// extended attribute, compares the two and closes it. THREADS defaults to the
// processors this process may use, as quelby-cli check's jobs do.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <sched.h>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kDigestBytes = 32;
// The name the attribute store gives the digest on Linux, where only the user
// namespace is open to every file owner.
constexpr const char* kDigestAttribute = "user.co.mossgroveware.quelby.hash#S";

// What one thread found; the threads share nothing but the index.
struct Tally
{
    std::size_t differ = 0;
    std::size_t unreadable = 0;
};

struct ContextFree
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// The whole of standard input; empty when it cannot be read.
std::string readStandardInput()
{
    std::string all;
    std::array<char, 1 << 16> chunk{};
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, chunk.data(), chunk.size());
        if (got == 0)
            return all;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::perror("read_floor: standard input");
            return {};
        }
        all.append(chunk.data(), static_cast<std::size_t>(got));
    }
}

// Points at each name in the NUL-separated list, which stays NUL-terminated in
// place, so that open needs no copy.
std::vector<const char*> splitPaths(std::string& list)
{
    if (!list.empty() && list.back() != '\0')
        list.push_back('\0');
    std::vector<const char*> paths;
    paths.reserve(static_cast<std::size_t>(std::count(list.begin(), list.end(), '\0')));
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find('\0', start);
        if (end > start)
            paths.push_back(list.data() + start);
        start = end + 1;
    }
    return paths;
}

// False when the file could not be read to its end.
bool digestFile(int fd, EVP_MD_CTX* context, const EVP_MD* sha256, std::span<unsigned char> buffer,
                std::array<unsigned char, kDigestBytes>& digest)
{
    if (EVP_DigestInit_ex(context, sha256, nullptr) != 1)
        return false;
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(got)) != 1)
            return false;
    }
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == kDigestBytes;
}

Tally work(std::span<const char* const> paths, std::atomic<std::size_t>& next, const EVP_MD* sha256,
           EVP_MD_CTX* context)
{
    Tally tally;
    std::vector<unsigned char> buffer(kBufferBytes);
    std::array<unsigned char, kDigestBytes> digest{};
    // Room for a longer value, so that one that is too long reads as a
    // mismatch rather than as a failure of the call.
    std::array<unsigned char, 2 * kDigestBytes> stored{};
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();) {
        const int fd = open(paths[i], O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            ++tally.unreadable;
            continue;
        }
        struct stat status
        {};
        if (fstat(fd, &status) != 0 || !digestFile(fd, context, sha256, buffer, digest)) {
            ++tally.unreadable;
            close(fd);
            continue;
        }
        const ssize_t storedBytes = fgetxattr(fd, kDigestAttribute, stored.data(), stored.size());
        if (storedBytes != static_cast<ssize_t>(kDigestBytes) ||
            std::memcmp(digest.data(), stored.data(), kDigestBytes) != 0)
            ++tally.differ;
        if (close(fd) != 0)
            ++tally.unreadable;
    }
    return tally;
}

unsigned processorsAllowed()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    return std::max(1U, std::thread::hardware_concurrency());
}

} // namespace

int main(int argc, char** argv)
{
    unsigned threads = processorsAllowed();
    if (argc > 2) {
        std::fputs("usage: read_floor [THREADS] < NUL-separated paths\n", stderr);
        return 2;
    }
    if (argc == 2) {
        const std::string_view given = argv[1];
        const auto [end, error] =
            std::from_chars(given.data(), given.data() + given.size(), threads);
        if (error != std::errc{} || end != given.data() + given.size() || threads == 0 ||
            threads > 1024) {
            std::fprintf(stderr, "read_floor: THREADS must be 1 to 1024, not %s\n", argv[1]);
            return 2;
        }
    }

    std::string list = readStandardInput();
    const std::vector<const char*> paths = splitPaths(list);
    std::vector<DigestContext> contexts;
    for (unsigned t = 0; t < threads; ++t) {
        contexts.emplace_back(EVP_MD_CTX_new());
        if (!contexts.back()) {
            std::fputs("read_floor: out of memory\n", stderr);
            return 2;
        }
    }
    // Fetched once, as the fetch behind EVP_sha256() would look it up at every init.
    EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (sha256 == nullptr) {
        std::fputs("read_floor: no SHA-256 in OpenSSL\n", stderr);
        return 2;
    }

    std::atomic<std::size_t> next = 0;
    std::vector<Tally> tallies(threads);
    {
        std::vector<std::jthread> workers;
        workers.reserve(threads);
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back(
                [&, t] { tallies[t] = work(paths, next, sha256, contexts[t].get()); });
    }
    EVP_MD_free(sha256);

    Tally total;
    for (const Tally& tally : tallies) {
        total.differ += tally.differ;
        total.unreadable += tally.unreadable;
    }
    std::printf("%zu files, %zu differ or carry no digest\n", paths.size(), total.differ);
    if (total.unreadable > 0)
        std::printf("%zu could not be read\n", total.unreadable);
    return total.differ + total.unreadable > 0 ? 1 : 0;
}
