#include "engine/evidence/parity_reader.h"
#include "engine/repair/parity_rebuild.h"
#include "engine/sum_tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace quelby::parity {
namespace {

bool par2Available()
{
    return test::runCommand("command -v par2 >/dev/null 2>&1") == 0;
}

std::string contentsOf(int fd)
{
    std::string bytes;
    char chunk[4096];
    for (ssize_t got = 0;
         (got = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(bytes.size()))) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

// Sizes on and off the 1024-byte block and a multiple of 4: a set of 49 input
// blocks, 5 recovery blocks at 10 %.
std::map<std::string, std::string> originals()
{
    std::mt19937 random(37);
    std::map<std::string, std::string> files;
    for (const auto& [name, size] : std::vector<std::pair<std::string, std::size_t>>{
             {"a.jpg", 10001}, {"b.txt", 7}, {"c.raw", 30000}, {"d.bin", 3072}, {"e.dat", 4099}}) {
        std::string bytes(size, '\0');
        for (auto& byte : bytes) {
            byte = static_cast<char>(random());
        }
        files[name] = bytes;
    }
    return files;
}

struct Rebuilt
{
    std::string bytes;
    std::string reason;
    bool done = false;
};

struct OpenSet
{
    std::vector<int> parts;
    ParitySet set;
    ~OpenSet()
    {
        for (const int fd : parts) {
            ::close(fd);
        }
    }
};

void flipByte(const std::string& path, std::size_t at)
{
    std::string bytes = test::readWholeFile(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    test::writeWholeFile(path, bytes);
}

TEST(ParityRebuild, RebuildsEachFileOfASetThatPar2MadeWithinItsCapacityAndSaysWhyBeyondIt)
{
    if (!par2Available()) {
        GTEST_SKIP() << "par2 is not installed: it is the oracle that makes the sets";
    }
    const auto files = originals();
    struct Variant
    {
        std::string volumes;
        std::uint64_t memoryCap;
        std::set<std::string> proven;
    };
    // One set file with one volume; then three volumes, sums in passes of
    // 348 bytes over 1024-byte blocks, and a file the caller proved whole.
    for (const auto& variant : {Variant{"-n1", 256ull << 20, {}}, Variant{"-n3", 700, {"e.dat"}}}) {
        SCOPED_TRACE(variant.volumes);
        test::TempTree tree;
        std::vector<std::string> create = {"par2", "create",        "-q",      "-q", "-s1024",
                                           "-r10", variant.volumes, "SET.par2"};
        for (const auto& [name, bytes] : files) {
            tree.file(name, bytes);
            create.push_back(name);
        }
        const auto made = test::runIn(tree.root(), create);
        ASSERT_EQ(made.status, 0) << made.output;

        OpenSet opened;
        for (const auto& name : test::namesIn(tree.root())) {
            if (name.starts_with("SET.vol")) {
                opened.parts.push_back(::open(tree.path(name).c_str(), O_RDONLY | O_CLOEXEC));
            }
        }
        opened.parts.insert(opened.parts.begin(),
                            ::open(tree.path("SET.par2").c_str(), O_RDONLY | O_CLOEXEC));
        auto read = readSet(opened.parts);
        ASSERT_TRUE(read.has_value()) << read.error();
        opened.set = std::move(*read);
        ASSERT_EQ(opened.set.recovery.size(), 5u);
        CoveredRecord empty;
        empty.name = "empty";
        opened.set.covered.push_back(empty);

        const int folder = ::open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        RebuildSources sources;
        sources.folder = folder;
        sources.set = &opened.set;
        sources.parts = opened.parts;
        sources.memoryCap = variant.memoryCap;
        sources.provenWhole = [&variant](std::string_view name) {
            return variant.proven.contains(std::string(name));
        };
        const auto rebuild = [&sources](std::string_view name) {
            Rebuilt result;
            const int out = ::memfd_create("out", MFD_CLOEXEC);
            const auto done = rebuildFile(sources, name, out);
            result.done = done.has_value();
            result.reason = done ? std::string() : done.error();
            result.bytes = contentsOf(out);
            ::close(out);
            return result;
        };

        // Two blocks of one file, the short last block of another, a whole file gone.
        flipByte(tree.path("a.jpg"), 100);
        flipByte(tree.path("a.jpg"), 5000);
        flipByte(tree.path("c.raw"), 29999);
        ::unlink(tree.path("b.txt").c_str());
        for (const auto& [name, bytes] : files) {
            SCOPED_TRACE(name);
            const Rebuilt rebuilt = rebuild(name);
            ASSERT_TRUE(rebuilt.done) << rebuilt.reason;
            EXPECT_TRUE(rebuilt.bytes == bytes) << rebuilt.bytes.size() << " bytes";
        }
        const Rebuilt nothing = rebuild("empty");
        EXPECT_TRUE(nothing.done && nothing.bytes.empty()) << nothing.reason;
        EXPECT_EQ(rebuild("other.jpg").reason, "the parity set does not cover it");
        sources.stop = [] { return true; };
        const Rebuilt stopped = rebuild("a.jpg");
        EXPECT_TRUE(!stopped.done && stopped.reason.empty()) << stopped.reason;
        sources.stop = nullptr;

        // A link in place of a file is not read through: its three blocks are
        // damaged too, two more than the set can rebuild. An intact file
        // still comes back from its own blocks.
        tree.file("elsewhere/d.bin", files.at("d.bin"));
        ::unlink(tree.path("d.bin").c_str());
        ASSERT_EQ(::symlink("elsewhere/d.bin", tree.path("d.bin").c_str()), 0);
        const Rebuilt beyond = rebuild("a.jpg");
        EXPECT_FALSE(beyond.done);
        EXPECT_EQ(beyond.reason,
                  "the parity set can rebuild at most 5 damaged blocks; 7 are damaged");
        const Rebuilt intact = rebuild("e.dat");
        ASSERT_TRUE(intact.done) << intact.reason;
        EXPECT_TRUE(intact.bytes == files.at("e.dat"));
        ::close(folder);
    }
}

} // namespace
} // namespace quelby::parity
