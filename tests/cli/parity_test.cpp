// Parity sets through the command-line tool, with Debian's par2 as the
// oracle: the sets Tag writes must verify and repair without Quelby, and
// Quelby must heal from them and from sets par2 made.

#include "engine/evidence/parity_reader.h"
#include "engine/store/tag_store.h"
#include "engine/sum_tools.h"
#include "support/hex.h"
#include "support/temp_tree.h"
#include "tool_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>

namespace quelby::cli {
namespace {

using test::readWholeFile;
using test::runCommand;
using test::sha256Of;
using test::storedDigest;
using test::writeWholeFile;

#define SKIP_WITHOUT_PAR2()                                                                        \
    if (runCommand("command -v par2 >/dev/null") != 0) {                                           \
        GTEST_SKIP() << "Debian's par2 is not installed: it is the oracle of these tests";         \
    }

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// Changes bytes without changing the modification time: damage, not an edit.
void damage(const std::string& path, std::size_t at, std::size_t length)
{
    struct stat before = {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::string bytes = readWholeFile(path);
    for (std::size_t i = at; i < at + length && i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(~bytes[i]);
    }
    writeWholeFile(path, bytes);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int par2In(const std::string& folder, const std::string& command)
{
    return runCommand("cd '" + folder + "' && par2 " + command + " >/dev/null 2>&1");
}

// Every name in the folder, hidden ones included, one a line.
std::string namesIn(const std::string& folder, const std::string& listing)
{
    runCommand("ls -A '" + folder + "' > '" + listing + "'");
    return readWholeFile(listing);
}

class Parity : public ::testing::Test
{
protected:
    void SetUp() override
    {
        top_ = tree_.folder("photos");
        photo_ = randomBytes(300000, 1);
        tree_.file("photos/a.raw", photo_);
        tree_.file("photos/b.jpg", randomBytes(12345, 2));
        tree_.file("photos/c", "tiny");
        tree_.file("photos/empty.txt", "");
        tree_.file("photos/trip/d.raw", randomBytes(70001, 3));
        // Older than any stamp Tag writes, so that a later change of bytes alone reads as damage.
        for (const char* name : {"a.raw", "b.jpg", "c", "empty.txt", "trip/d.raw"}) {
            EXPECT_TRUE(test::setModificationTime(top_ + "/" + name, 1577836800));
        }
    }

    test::TempTree tree_;
    std::string top_;
    std::string photo_;
};

TEST_F(Parity, TagWritesSetsThatPar2VerifiesAndRepairsAndQuelbyRepairsWithinCapacityOnly)
{
    SKIP_WITHOUT_PAR2();
    // Slices of more than 64 KiB, which repair sums on two cores.
    tree_.file("photos/film.raw", randomBytes(20 << 20, 4));
    ASSERT_TRUE(test::setModificationTime(top_ + "/film.raw", 1577836800));
    const auto [status, out, err] = runTool({"tag", "--times", "--parity", "10", top_});
    ASSERT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("\nParity: 2 sets written, 0 kept, 0 left, 0 removed.\n"), std::string::npos)
        << out;
    EXPECT_EQ(par2In(top_, "verify .quelby.par2"), 0) << "empty files and all";
    EXPECT_EQ(par2In(top_ + "/trip", "verify .quelby.par2"), 0);

    // par2 heals without Quelby, byte for byte.
    const std::string apart = tree_.folder("apart");
    ASSERT_EQ(runCommand("cp -a '" + top_ + "/.' '" + apart + "'"), 0);
    damage(apart + "/a.raw", 1000, 3000);
    EXPECT_EQ(par2In(apart, "repair .quelby.par2"), 0);
    EXPECT_TRUE(readWholeFile(apart + "/a.raw") == photo_);

    // So does Quelby, which keeps the damaged bytes and proves the new ones.
    damage(top_ + "/a.raw", 1000, 3000);
    const auto [dry, dryOut, dryErr] = runTool({"repair", "--dry-run", top_});
    EXPECT_NE(dryOut.find("⚠️ Would repair " + top_ + "/a.raw from parity\n"), std::string::npos)
        << dryOut << dryErr;
    EXPECT_TRUE(readWholeFile(top_ + "/a.raw") != photo_) << "a dry run writes nothing";
    const auto [repaired, repairOut, repairErr] = runTool({"repair", top_});
    EXPECT_EQ(repaired, 0) << repairOut << repairErr;
    EXPECT_NE(repairOut.find("✅ Repaired " + top_ + "/a.raw from parity\n"), std::string::npos)
        << repairOut;
    EXPECT_TRUE(readWholeFile(top_ + "/a.raw") == photo_);
    EXPECT_TRUE(readWholeFile(top_ + "/a.raw.damaged") != photo_);
    EXPECT_EQ(test::hex(storedDigest(top_ + "/a.raw")), test::hex(sha256Of(photo_)));

    // Beyond the recovery data: refused, nothing written.
    const std::string before = readWholeFile(top_ + "/trip/d.raw");
    damage(top_ + "/trip/d.raw", 0, 70001);
    const std::string damaged = readWholeFile(top_ + "/trip/d.raw");
    const std::string names = namesIn(top_ + "/trip", tree_.path("names.txt"));
    const auto [refused, refusedOut, refusedErr] = runTool({"repair", top_});
    EXPECT_EQ(refused, 1) << refusedOut << refusedErr;
    EXPECT_NE(refusedOut.find("❌ Couldn't repair " + top_ + "/trip/d.raw: "), std::string::npos)
        << refusedOut;
    EXPECT_TRUE(readWholeFile(top_ + "/trip/d.raw") == damaged);
    EXPECT_EQ(namesIn(top_ + "/trip", tree_.path("names.txt")), names) << "nothing left behind";
    EXPECT_TRUE(damaged != before);

    // A folder of more files than the process may hold open: every one is covered.
    const std::string many = tree_.folder("many");
    for (int i = 0; i < 300; ++i) {
        writeWholeFile(many + "/f" + std::to_string(i), randomBytes(100, static_cast<unsigned>(i)));
    }
    ASSERT_EQ(runCommand("ulimit -n 64 && " + std::string(QUELBY_CLI_PATH) +
                         " tag -q --parity 5 '" + many + "' >/dev/null"),
              0);
    EXPECT_EQ(runCommand("cd '" + many + "' && par2 verify .quelby.par2 2>/dev/null | tr '%' '\\n' |"
                         " grep -q 'There are 300 recoverable files'"),
              0);
    const std::string original = readWholeFile(many + "/f7");
    damage(many + "/f7", 0, 100);
    EXPECT_EQ(runCommand("ulimit -n 64 && " + std::string(QUELBY_CLI_PATH) +
                         " repair -q --also-unknown '" + many + "' >/dev/null"),
              0);
    EXPECT_TRUE(readWholeFile(many + "/f7") == original);
}

TEST_F(Parity, RetagFollowsEditsKeepsTheOldSetAndTheDigestOfDamageAndOffRemovesTheSets)
{
    SKIP_WITHOUT_PAR2();
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", "--parity", "5", top_})), 0);

    // An edit: the set follows the new contents, with its own percentage.
    writeWholeFile(top_ + "/b.jpg", randomBytes(20000, 9));
    ASSERT_TRUE(test::setModificationTime(top_ + "/b.jpg", ::time(nullptr) + 5));
    const auto [status, out, err] = runTool({"retag", "--times", top_});
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("Parity: 1 set written, 1 kept, 0 left, 0 removed.\n"), std::string::npos)
        << out;
    EXPECT_EQ(par2In(top_, "verify .quelby.par2"), 0);
    // The set the run wrote records the stamp each file it covers carries.
    const int setFile = ::open((top_ + "/.quelby.par2").c_str(), O_RDONLY | O_CLOEXEC);
    const int parts[] = {setFile};
    const auto rewritten = parity::readSet(parts);
    ::close(setFile);
    ASSERT_TRUE(rewritten) << rewritten.error();
    for (const std::string name : {"a.raw", "c"}) {
        const auto record =
            std::ranges::find(rewritten->covered, name, &parity::CoveredRecord::name);
        ASSERT_NE(record, rewritten->covered.end()) << name;
        const auto stamp = test::storedAttribute(top_ + "/" + name, kTimeAttributeName);
        ASSERT_TRUE(stamp) << name;
        EXPECT_EQ(record->stamp, stamp) << name;
    }

    // Damage: neither the digest nor the set is rebuilt from damaged bytes.
    const std::string set = readWholeFile(top_ + "/.quelby.par2");
    const std::string digest = storedDigest(top_ + "/a.raw");
    damage(top_ + "/a.raw", 10, 1);
    for (const char* command : {"tag", "retag"}) {
        const auto [kept, keptOut, keptErr] = runTool({command, "--times", top_});
        EXPECT_EQ(kept, 1) << command << keptOut << keptErr;
        EXPECT_NE(keptOut.find("⚠️ Kept the stored digest of " + top_ +
                               "/a.raw: it differs and was not edited (quelby-cli repair " + top_ +
                               ")\n"),
                  std::string::npos)
            << keptOut;
        EXPECT_NE(keptOut.find("⚠️ Left the parity of " + top_ + " as it was: " + top_ +
                               "/a.raw is damaged (quelby-cli repair " + top_ + ")\n"),
                  std::string::npos)
            << keptOut;
        EXPECT_TRUE(storedDigest(top_ + "/a.raw") == digest) << command;
        EXPECT_TRUE(readWholeFile(top_ + "/.quelby.par2") == set) << command;
    }
    const auto [json, jsonOut, jsonErr] = runTool({"retag", "--json", top_});
    EXPECT_NE(jsonOut.find("{\"parity\":\"" + top_ + "/.quelby.par2\",\"result\":\"left\""),
              std::string::npos)
        << jsonOut;

    const auto [off, offOut, offErr] = runTool({"retag", "--parity", "off", top_});
    EXPECT_NE(offOut.find("Parity: 0 sets written, 0 kept, 0 left, 2 removed.\n"),
              std::string::npos)
        << offOut;
    EXPECT_NE(::access((top_ + "/.quelby.par2").c_str(), F_OK), 0);
    EXPECT_NE(::access((top_ + "/trip/.quelby.par2").c_str(), F_OK), 0);
    EXPECT_EQ(std::get<0>(runTool({"repair", top_})), 2) << "no set and no copy";
}

TEST_F(Parity, MissingFilesComeBackOnlyWhenAskedAndASetPar2MadeHealsThroughParity)
{
    SKIP_WITHOUT_PAR2();
    ASSERT_EQ(::chmod((top_ + "/c").c_str(), 0640), 0);
    ASSERT_TRUE(test::setModificationTime(top_ + "/c", 1500000000, 123));
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", "--parity", "20", top_})), 0);
    ASSERT_EQ(::unlink((top_ + "/c").c_str()), 0);
    ASSERT_EQ(::unlink((top_ + "/empty.txt").c_str()), 0);
    const auto [plain, plainOut, plainErr] = runTool({"repair", top_});
    EXPECT_EQ(plain, 0) << plainOut << plainErr;
    EXPECT_NE(::access((top_ + "/c").c_str(), F_OK), 0) << "deleted files stay deleted";

    const auto [status, out, err] = runTool({"repair", "--restore-missing", top_});
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("✅ Restored " + top_ + "/c from parity\n"), std::string::npos) << out;
    EXPECT_NE(out.find("✅ Restored " + top_ + "/empty.txt from parity\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(top_ + "/c"), "tiny");
    EXPECT_EQ(readWholeFile(top_ + "/empty.txt"), "");
    struct stat info = {};
    ASSERT_EQ(::stat((top_ + "/c").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 123);
    EXPECT_EQ(test::hex(storedDigest(top_ + "/c")), test::hex(sha256Of("tiny")));
    EXPECT_EQ(std::get<0>(runTool({"check", top_})), 0);

    // A set made elsewhere, with its volumes; no SHA-256 in it proves a missing file.
    const std::string other = tree_.folder("other");
    const std::string original = randomBytes(200000, 7);
    writeWholeFile(other + "/x.bin", original);
    writeWholeFile(other + "/y.bin", randomBytes(20001, 8));
    ASSERT_TRUE(test::setModificationTime(other + "/x.bin", 1577836800));
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", other})), 0);
    ASSERT_EQ(par2In(other, "create -q -r20 -n3 album.par2 x.bin y.bin"), 0);
    damage(other + "/x.bin", 5000, 2000);
    ASSERT_EQ(::unlink((other + "/y.bin").c_str()), 0);
    const auto [foreign, foreignOut, foreignErr] = runTool(
        {"repair", "--restore-missing", "--parity", other + "/album.par2", other});
    EXPECT_EQ(foreign, 1) << foreignOut << foreignErr;
    EXPECT_NE(foreignOut.find("✅ Repaired " + other + "/x.bin from parity\n"), std::string::npos)
        << foreignOut;
    EXPECT_TRUE(readWholeFile(other + "/x.bin") == original);
    EXPECT_NE(foreignOut.find("❌ Couldn't restore " + other + "/y.bin: no SHA-256 proves it\n"),
              std::string::npos)
        << foreignOut;
    const auto [outside, outsideOut, outsideErr] =
        runTool({"repair", "--parity", other + "/album.par2", top_});
    EXPECT_EQ(outside, 2) << outsideErr;
}

TEST_F(Parity, TheScrubHealsDamageAndRebuildsADamagedSetAndAKilledWritersFileGoes)
{
    SKIP_WITHOUT_PAR2();
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", "--parity", "10", top_})), 0);
    damage(top_ + "/a.raw", 200, 50);
    const std::string state = tree_.path("state.sqlite");
    const auto [status, out, err] = runTool({"scrub", "--heal", "--state", state, top_});
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("✅ Healed " + top_ + "/a.raw from parity\n"), std::string::npos) << out;
    EXPECT_TRUE(readWholeFile(top_ + "/a.raw") == photo_);

    // A damaged set: a plain scrub says so, --heal writes it anew.
    std::string set = readWholeFile(top_ + "/trip/.quelby.par2");
    set[set.size() / 2] = static_cast<char>(~set[set.size() / 2]);
    writeWholeFile(top_ + "/trip/.quelby.par2", set);
    const std::string fresh = tree_.path("fresh.sqlite");
    const auto [plain, plainOut, plainErr] = runTool({"scrub", "--state", fresh, top_});
    EXPECT_NE(plainOut.find("⚠️ The parity of " + top_ +
                            "/trip is damaged (quelby-cli scrub --heal rebuilds it)\n"),
              std::string::npos)
        << plainOut << plainErr;
    const auto [healed, healedOut, healedErr] =
        runTool({"scrub", "--heal", "--state", tree_.path("third.sqlite"), top_});
    EXPECT_NE(healedOut.find("⚠️ Rebuilt the parity of " + top_ + "/trip: it was damaged\n"),
              std::string::npos)
        << healedOut << healedErr;
    EXPECT_EQ(par2In(top_ + "/trip", "verify .quelby.par2"), 0);

    // What a writer killed before its rename left is only litter for the next one.
    writeWholeFile(top_ + "/.quelby.par2.new-0badf00d", "half a set");
    writeWholeFile(top_ + "/b.jpg", "edited");
    ASSERT_TRUE(test::setModificationTime(top_ + "/b.jpg", ::time(nullptr) + 5));
    ASSERT_EQ(std::get<0>(runTool({"retag", top_})), 0);
    EXPECT_NE(::access((top_ + "/.quelby.par2.new-0badf00d").c_str(), F_OK), 0);
    EXPECT_EQ(par2In(top_, "verify .quelby.par2"), 0);
}

} // namespace
} // namespace quelby::cli
