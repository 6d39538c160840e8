// Throughput of writing a parity set over four page-cached files of 50 MiB
// of random bytes, at 5 % and at 1 % recovery, beside SHA-256 of the same
// files through fileDigest (what Tag reads anyway) and the GF(2^16) region
// kernel alone over bytes in memory.
#include "engine/coding/galois16.h"
#include "engine/evidence/parity_writer.h"
#include "engine/read/file_digest.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t kFileSize = std::uint64_t{50} << 20;
constexpr int kFiles = 4;

struct BenchFolder
{
    std::string base;
    std::vector<quelby::parity::FileToCover> files;

    BenchFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        base = std::string(tmp != nullptr ? tmp : "/tmp") + "/quelby-bench-parity-";
        std::mt19937_64 random(1);
        std::string bytes(kFileSize, '\0');
        for (int f = 0; f < kFiles; ++f) {
            for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
                const std::uint64_t word = random();
                std::memcpy(bytes.data() + i, &word, 8);
            }
            const std::string path = base + std::to_string(f);
            const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || ::write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                std::abort();
            }
            ::close(out);
            quelby::parity::FileToCover file;
            file.fd = ::open(path.c_str(), O_RDONLY);
            file.record.name = "file" + std::to_string(f);
            file.record.size = kFileSize;
            file.record.sha256 = quelby::digestOfBytes(bytes);
            files.push_back(std::move(file));
        }
    }
    ~BenchFolder()
    {
        for (int f = 0; f < kFiles; ++f) {
            ::close(files[static_cast<std::size_t>(f)].fd);
            ::unlink((base + std::to_string(f)).c_str());
        }
        ::unlink((base + "set").c_str());
    }
};

BenchFolder& folder()
{
    static BenchFolder built;
    return built;
}

void WriteSet(benchmark::State& state)
{
    auto& bench = folder();
    const auto percent = static_cast<unsigned>(state.range(0));
    const auto plans = quelby::parity::planSets(std::vector<std::uint64_t>(kFiles, kFileSize), percent);
    state.counters["slice_KiB"] = static_cast<double>(plans[0].sliceSize) / 1024;
    state.counters["recovery_slices"] = plans[0].recoveryCount;
    for (auto _ : state) {
        const std::string path = bench.base + "set";
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const auto written = quelby::parity::writeSet(out, plans[0], bench.files, percent, {});
        ::close(out);
        if (!written) {
            state.SkipWithError(written.error().reason.c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles *
                            static_cast<std::int64_t>(kFileSize));
}
BENCHMARK(WriteSet)->Arg(5)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void Sha256OfTheFiles(benchmark::State& state)
{
    auto& bench = folder();
    for (auto _ : state) {
        for (const auto& file : bench.files) {
            ::lseek(file.fd, 0, SEEK_SET);
            auto digest = quelby::fileDigest(file.fd, std::int64_t{1} << 20,
                                             quelby::DigestBackEnd::current);
            benchmark::DoNotOptimize(digest);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles *
                            static_cast<std::int64_t>(kFileSize));
}
BENCHMARK(Sha256OfTheFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

void RegionMultiplyAdd(benchmark::State& state)
{
    std::vector<std::uint8_t> from(32 << 10, 7);
    std::vector<std::uint8_t> to(32 << 10, 3);
    for (auto _ : state) {
        quelby::gf16::multiplyAdd(to.data(), from.data(), from.size(), 0x1234);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(from.size()));
}
BENCHMARK(RegionMultiplyAdd);

} // namespace

BENCHMARK_MAIN();
