// Throughput of fileDigest over a cached 256 MiB file, beside a bare read +
// EVP loop over the same file, the same loop with a reader thread filling one
// buffer while the other is hashed (read-ahead), and EVP SHA-256 over the same
// bytes in memory.
#include "engine/read/file_digest.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <semaphore>
#include <thread>
#include <openssl/evp.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t kFileSize = 256 << 20;

const std::string& benchFile()
{
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string file = std::string(base != nullptr ? base : "/tmp") + "/quelby-bench-256M";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 2654435761u >> 24);
        }
        for (std::int64_t written = 0; written < kFileSize; written += 1 << 20) {
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                std::abort();
            }
        }
        ::close(fd);
        std::atexit([] { ::unlink(path.c_str()); });
        return file;
    }();
    return path;
}

void FileDigest(benchmark::State& state)
{
    const auto& path = benchFile();
    for (auto _ : state) {
        auto result = quelby::fileDigest(path, state.range(0), quelby::DigestBackEnd::current);
        if (!result || !*result) {
            state.SkipWithError("digest failed");
            return;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BareReadLoop(benchmark::State& state)
{
    const auto& path = benchFile();
    std::vector<unsigned char> buffer(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[32];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        ssize_t count = 0;
        while ((count = ::read(fd, buffer.data(), buffer.size())) > 0) {
            EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(count));
        }
        EVP_DigestFinal_ex(context, digest, nullptr);
        EVP_MD_CTX_free(context);
        ::close(fd);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

// Two buffers: a reader thread fills one while this thread hashes the other.
void ReadAheadLoop(benchmark::State& state)
{
    const auto& path = benchFile();
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(size),
                                             std::vector<unsigned char>(size)};
    unsigned char digest[32];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::counting_semaphore<2> empty(2);
        std::counting_semaphore<2> full(0);
        ssize_t counts[2] = {0, 0};
        std::thread reader([&] {
            for (std::size_t index = 0;; index ^= 1) {
                empty.acquire();
                counts[index] = ::read(fd, buffers[index].data(), size);
                full.release();
                if (counts[index] <= 0) {
                    return;
                }
            }
        });
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        for (std::size_t index = 0;; index ^= 1) {
            full.acquire();
            if (counts[index] <= 0) {
                break;
            }
            EVP_DigestUpdate(context, buffers[index].data(), static_cast<std::size_t>(counts[index]));
            empty.release();
        }
        reader.join();
        EVP_DigestFinal_ex(context, digest, nullptr);
        EVP_MD_CTX_free(context);
        ::close(fd);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void InMemorySha256(benchmark::State& state)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(kFileSize));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    }
    unsigned char digest[32];
    for (auto _ : state) {
        EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

} // namespace

BENCHMARK(FileDigest)
    ->Arg(4 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BareReadLoop)->Arg(256 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadAheadLoop)->Arg(256 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(InMemorySha256)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
