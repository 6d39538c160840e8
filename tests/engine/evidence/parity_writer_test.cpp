#include "engine/evidence/parity_writer.h"
#include "engine/platform/sys.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <set>
#include <unistd.h>

namespace quelby::parity {
namespace {

using test::TempTree;

std::string randomBytes(std::mt19937& random, std::uint64_t size)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// The folder's files, open for reading, each with the record a run proved.
struct Folder
{
    std::vector<FileToCover> files;
    ~Folder()
    {
        for (const FileToCover& file : files) {
            ::close(file.fd);
        }
    }
    void add(const TempTree& tree, const std::string& name, const std::string& provenContents)
    {
        FileToCover file;
        file.fd = ::open(tree.path(name).c_str(), O_RDONLY | O_CLOEXEC);
        file.record.name = name;
        file.record.size = provenContents.size();
        file.record.sha256 = digestOfBytes(provenContents);
        file.record.stamp = "stamp of " + name;
        file.record.mode = 0644;
        files.push_back(std::move(file));
    }
    std::vector<std::uint64_t> sizes() const
    {
        std::vector<std::uint64_t> list;
        for (const FileToCover& file : files) {
            list.push_back(file.record.size);
        }
        return list;
    }
};

Folder folderOf(TempTree& tree, const std::vector<std::pair<std::string, std::string>>& contents)
{
    Folder folder;
    for (const auto& [name, bytes] : contents) {
        tree.file(name, bytes);
        folder.add(tree, name, bytes);
    }
    return folder;
}

std::expected<void, WriteFailure> writeSetTo(const std::string& path, const SetPlan& plan,
                                             const Folder& folder, unsigned percent,
                                             std::uint64_t memoryCap = kParityMemoryCap,
                                             const std::function<bool()>& stop = {})
{
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(out, 0) << path;
    auto written = writeSet(out, plan, folder.files, percent, stop, memoryCap);
    ::close(out);
    return written;
}

// par2 run in the folder, its output kept out of the test's.
int par2(const TempTree& tree, const std::string& arguments)
{
    return test::runCommand("cd '" + tree.root() + "' && par2 " + arguments + " >/dev/null 2>&1");
}

// The distinct packets of a set's bytes, but the Creator's and Quelby's own.
std::set<std::string> formatPackets(const std::string& bytes)
{
    std::set<std::string> packets;
    for (std::size_t at = 0; at + 64 <= bytes.size();) {
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = length << 8 | static_cast<unsigned char>(bytes[at + 8 + static_cast<std::size_t>(i)]);
        }
        const std::string type = bytes.substr(at + 48, 16);
        if (length < 64 || at + length > bytes.size()) {
            ADD_FAILURE() << "a packet runs past the end at " << at;
            break;
        }
        if (type != kCreatorType && type != kQuelbyFilesType) {
            packets.insert(bytes.substr(at, length));
        }
        at += length;
    }
    return packets;
}

bool par2Missing()
{
    return test::runCommand("command -v par2 >/dev/null 2>&1") != 0;
}

TEST(ParityWriter, WritesASetThatPar2VerifiesAndRepairsByteForByte)
{
    if (par2Missing()) {
        GTEST_SKIP() << "par2 is not on PATH: nothing can judge the set";
    }
    // Names of 2 to 8 bytes reach every padding of a name (par2 cannot make
    // a set of a name of 1); sizes 0, 1, 3, one short of a slice, a slice,
    // and many slices with a short one at the end.
    constexpr std::uint64_t kSlice = 4096;
    std::mt19937 random(37);
    const std::vector<std::pair<std::string, std::uint64_t>> sizes = {
        {"empty", 0},          {"22", 1},         {"333", 3},
        {"4444", kSlice - 1},  {"55555", kSlice}, {"666666", 4},
        {"7777777", 2 * kSlice + 2}, {"88888888", 300 * kSlice + 7}};
    std::vector<std::pair<std::string, std::string>> contents;
    for (const auto& [name, size] : sizes) {
        contents.emplace_back(name, randomBytes(random, size));
    }
    TempTree tree;
    Folder folder = folderOf(tree, contents);
    SetPlan plan{{0, 1, 2, 3, 4, 5, 6, 7}, kSlice, 8};
    const std::string set = tree.path(".quelby.par2");
    const auto written = writeSetTo(set, plan, folder, 10);
    ASSERT_TRUE(written.has_value()) << written.error().reason;

    EXPECT_EQ(par2(tree, "verify .quelby.par2"), 0);
    // The empty file lies only in Quelby's own packet, with its stamp.
    EXPECT_NE(test::readWholeFile(set).find("stamp of empty"), std::string::npos);
    // The format makes packets of the same files and parameters byte for
    // byte the same, whoever writes them.
    ASSERT_EQ(par2(tree, "create -q -s4096 -c8 -n1 reference.par2 22 333 4444 55555 666666 7777777 88888888"), 0);
    std::set<std::string> reference;
    for (const std::string& name : test::namesIn(tree.root())) {
        if (name.starts_with("reference")) {
            reference.merge(formatPackets(test::readWholeFile(tree.path(name))));
        }
    }
    const std::set<std::string> ours = formatPackets(test::readWholeFile(set));
    for (const std::string& packet : ours) {
        EXPECT_TRUE(reference.contains(packet)) << "par2 makes no packet " << packet.substr(48, 16);
    }
    EXPECT_EQ(ours.size(), reference.size());

    // Damage in two slices of the large file, within the set's capacity.
    const std::string large = tree.path("88888888");
    const std::string whole = contents.back().second;
    std::string damaged = whole;
    damaged[10] ^= 0x40;
    damaged[damaged.size() - 3] ^= 0x01;
    test::writeWholeFile(large, damaged);
    EXPECT_NE(par2(tree, "verify .quelby.par2"), 0);
    EXPECT_EQ(par2(tree, "repair .quelby.par2"), 0);
    EXPECT_TRUE(test::readWholeFile(large) == whole) << "the repaired file differs";
}

TEST(ParityWriter, WritesNoSetFromBytesItCannotVouchForAndStopsWhenAsked)
{
    TempTree tree;
    Folder folder = folderOf(tree, {{"kept", "these bytes are proven"}});
    tree.file("changed", "the bytes now on disk");
    tree.file("grown", "longer than it was proven");
    folder.add(tree, "changed", "the bytes once proven");
    folder.add(tree, "grown", "longer than it was");
    for (const std::string name : {"changed", "grown"}) {
        SCOPED_TRACE(name);
        const std::size_t index = name == "changed" ? 1 : 2;
        SetPlan plan = planSets(folder.sizes(), 5)[0];
        plan.files = {0, index};
        const auto written = writeSetTo(tree.path(".quelby.par2"), plan, folder, 5);
        ASSERT_FALSE(written.has_value());
        EXPECT_EQ(written.error().fileName, name);
        EXPECT_FALSE(written.error().reason.empty());
    }
    SetPlan plan = planSets(folder.sizes(), 5)[0];
    plan.files = {0};
    const auto stopped =
        writeSetTo(tree.path(".quelby.par2"), plan, folder, 5, kParityMemoryCap, [] { return true; });
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().reason, "");
}

TEST(ParityWriter, PassesOverSliceRangesWriteTheSameSetAsOnePass)
{
    std::mt19937 random(5);
    TempTree tree;
    Folder folder = folderOf(tree, {{"a", randomBytes(random, 300'001)},
                                    {"b", randomBytes(random, 77'777)},
                                    {"c", randomBytes(random, 3)}});
    const SetPlan plan{{0, 1, 2}, 4096, 3};
    const auto whole = writeSetTo(tree.path("whole.par2"), plan, folder, 30);
    ASSERT_TRUE(whole.has_value()) << whole.error().reason;
    const std::string expected = test::readWholeFile(tree.path("whole.par2"));
    for (const std::uint64_t cap : {4 * plan.sliceSize / 3, std::uint64_t{1}}) {
        SCOPED_TRACE(cap);
        const auto passes = writeSetTo(tree.path("passes.par2"), plan, folder, 30, cap);
        ASSERT_TRUE(passes.has_value()) << passes.error().reason;
        EXPECT_TRUE(test::readWholeFile(tree.path("passes.par2")) == expected)
            << "passes wrote other bytes than one pass";
    }
}

// Every file in one set, empty ones in the first set only; every set within
// the format's limits and with at least percent % of its bytes in recovery.
void expectPlanHolds(const std::vector<std::uint64_t>& sizes, unsigned percent)
{
    const auto plans = planSets(sizes, percent);
    std::vector<int> seen(sizes.size(), 0);
    for (std::size_t set = 0; set < plans.size(); ++set) {
        const SetPlan& plan = plans[set];
        EXPECT_TRUE(plan.sliceSize >= 4 && plan.sliceSize % 4 == 0) << plan.sliceSize;
        std::uint64_t slices = 0;
        long double bytes = 0;
        for (const std::size_t index : plan.files) {
            ++seen.at(index);
            EXPECT_TRUE(sizes[index] > 0 || set == 0) << "empty file " << index << " in set " << set;
            slices += (sizes[index] + plan.sliceSize - 1) / plan.sliceSize;
            bytes += static_cast<long double>(sizes[index]);
        }
        EXPECT_LE(slices, 32768u) << "set " << set;
        EXPECT_LE(plan.recoveryCount, 32768u);
        EXPECT_GE(static_cast<long double>(plan.recoveryCount) * plan.sliceSize * 100,
                  bytes * percent)
            << "set " << set;
        EXPECT_TRUE(bytes == 0 || plan.recoveryCount >= 1);
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(sizes.size()));
}

TEST(ParityPlan, SplitsAFolderIntoSetsTheFormatCanHoldWithEnoughRecovery)
{
    // One large file among them takes a slice for each of the set's kilobytes.
    std::vector<std::uint64_t> manySmall(40'000, 10);
    manySmall[100] = 1ull << 30;
    manySmall[7] = 0;
    manySmall[39'000] = 0;
    const auto plans = planSets(manySmall, 5);
    EXPECT_GE(plans.size(), 2u);
    expectPlanHolds(manySmall, 5);

    const auto oneSlice = planSets({3}, 100);
    ASSERT_EQ(oneSlice.size(), 1u);
    EXPECT_EQ(oneSlice[0].recoveryCount, 1u);

    std::mt19937_64 random(3);
    std::vector<std::uint64_t> mixed;
    for (int i = 0; i < 2000; ++i) {
        mixed.push_back(random() >> (24 + random() % 40));
    }
    for (const unsigned percent : {1u, 5u, 33u, 100u}) {
        SCOPED_TRACE(percent);
        for (const auto& sizes : std::vector<std::vector<std::uint64_t>>{
                 {1}, {4}, {5}, {0, 0}, {1ull << 40, 3}, {999'999'999'999}, mixed}) {
            expectPlanHolds(sizes, percent);
        }
    }
    EXPECT_TRUE(planSets({}, 5).empty());
}

} // namespace
} // namespace quelby::parity
