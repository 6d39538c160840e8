#include "cli/cli.h"
#include "engine/scrub/scrub_state.h"
#include "engine/tag_store.h"
#include "support/temp_tree.h"
#include "tool_runner.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby::cli {
namespace {

using Json = nlohmann::json;
constexpr std::int64_t kDay = 86400;

// A tagged tree, a state of its own, and a clock the test moves.
class ScrubTest : public ::testing::Test
{
protected:
    ScrubTest()
    {
        environment_.workingFolder = tree_.root();
        environment_.wallSeconds = [this] { return wallSeconds_; };
        environment_.now = [this] { return steadyNow_ += tick_; };
        statePath_ = stateFolder_.path("scrub.sqlite");
    }

    void tagNineFiles()
    {
        for (int i = 0; i < 9; ++i) {
            tree_.file("photos/" + std::to_string(i) + ".jpg", std::string(4096, char('a' + i)));
        }
        ASSERT_EQ(std::get<0>(runInProcess({"tag", folder()}, environment_)), 0);
    }

    std::string folder() const { return tree_.path("photos"); }

    Outcome scrub(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"scrub", "--state", statePath_});
        return runInProcess(args, environment_);
    }

    // The paths a JSON scrub report names with result.
    static std::multiset<std::string>
    pathsWith(const std::string& report, std::set<std::string> results = {"matched", "differs"})
    {
        std::multiset<std::string> paths;
        std::istringstream lines(report);
        for (std::string text; std::getline(lines, text);) {
            const Json object = Json::parse(text);
            if (object.contains("result") && results.contains(object["result"])) {
                paths.insert(object["path"].get<std::string>());
            }
        }
        return paths;
    }

    test::TempTree tree_;
    test::TempTree stateFolder_;
    std::string statePath_;
    CliEnvironment environment_;
    std::int64_t wallSeconds_ = 1'800'000'000;
    Clock::time_point steadyNow_{};
    Clock::duration tick_ = std::chrono::milliseconds(1);
};

TEST_F(ScrubTest, ABudgetOfAThirdVerifiesEveryFileOnceOverThreeRunsThenNoneUntilThePeriodEnds)
{
    tagNineFiles();
    std::multiset<std::string> verified;
    for (int run = 1; run <= 3; ++run) {
        const auto [status, out, err] = scrub({"--json", "--budget", "12K", folder()});
        EXPECT_EQ(status, 0) << err;
        const auto paths = pathsWith(out);
        EXPECT_EQ(paths.size(), 3u) << "run " << run << ":\n" << out;
        verified.insert(paths.begin(), paths.end());
    }
    EXPECT_EQ(verified.size(), 9u);
    EXPECT_EQ(std::set<std::string>(verified.begin(), verified.end()).size(), 9u)
        << "a file was verified twice while others were still due";

    const std::string metrics = stateFolder_.path("quelby.prom");
    EXPECT_EQ(scrub({"--metrics", metrics, folder()}),
              (Outcome{0,
                       "Scrubbed 0 files in " + folder() +
                           ": 0 problems; 100% of its 9 files verified in the last 30 days.\n",
                       ""}));
    const std::string written = test::readWholeFile(metrics);
    for (const std::string& sample :
         {"quelby_scrub_files{folder=\"" + folder() + "\"} 9\n",
          "quelby_scrub_files_verified_in_period{folder=\"" + folder() + "\"} 9\n",
          "quelby_scrub_problems{folder=\"" + folder() + "\"} 0\n",
          "quelby_scrub_last_run_timestamp_seconds{folder=\"" + folder() + "\"} 1800000000\n"}) {
        EXPECT_NE(written.find(sample), std::string::npos) << sample << written;
    }

    // Past the period everything is due again, and a budget still splits it.
    wallSeconds_ += 31 * kDay;
    const auto [status, out, err] = scrub({"--budget", "12K", folder()});
    EXPECT_EQ(out, "Scrubbed 3 files in " + folder() +
                       ": 0 problems; 33% of its 9 files verified in the last 30 days.\n");
}

TEST_F(ScrubTest, AChangedFileAndAnOpenProblemAreReadFirstUntilTheProblemCloses)
{
    tagNineFiles();
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    const std::string damaged = folder() + "/4.jpg";
    struct stat before
    {};
    ASSERT_EQ(::stat(damaged.c_str(), &before), 0);
    test::writeWholeFile(damaged, std::string(4096, 'Z'));
    ASSERT_TRUE(test::setModificationTime(damaged, before.st_mtim.tv_sec, before.st_mtim.tv_nsec));

    for (int run = 0; run < 2; ++run) {
        const auto [status, out, err] = scrub({"--json", "--budget", "4K", folder()});
        EXPECT_EQ(status, 1) << err;
        EXPECT_EQ(pathsWith(out, {"differs"}), std::multiset<std::string>{damaged}) << out;
        EXPECT_EQ(pathsWith(out).size(), 1u) << "the budget allows one file";
    }
    const auto [statusCode, statusText, statusErr] =
        runInProcess({"status", "--state", statePath_}, environment_);
    EXPECT_EQ(statusCode, 0) << statusErr;
    EXPECT_NE(statusText.find("1 open problems\n  ❌ " + damaged + ": differs since "),
              std::string::npos)
        << statusText;

    ASSERT_EQ(std::get<0>(runInProcess({"retag", folder()}, environment_)), 0);
    const auto [status, out, err] = scrub({"--json", "--budget", "4K", folder()});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(pathsWith(out, {"matched"}), std::multiset<std::string>{damaged});
    EXPECT_NE(std::get<1>(runInProcess({"status", "--state", statePath_}, environment_))
                  .find("; 0 open problems\n"),
              std::string::npos);
}

TEST_F(ScrubTest, ForEndsTheRunOnTheInjectedClockAndTheNextRunGoesOn)
{
    tagNineFiles();
    tick_ = std::chrono::seconds(1);
    std::multiset<std::string> verified;
    int runs = 0;
    while (verified.size() < 9 && runs < 9) {
        const auto [status, out, err] =
            scrub({"--json", "-q", "--jobs", "1", "--for", "20s", folder()});
        EXPECT_EQ(status, 0) << err;
        const auto paths = pathsWith(out);
        EXPECT_GE(paths.size(), 1u);
        verified.insert(paths.begin(), paths.end());
        ++runs;
    }
    EXPECT_GT(runs, 1) << "twenty seconds of a clock that ticks with every look cannot read all";
    EXPECT_EQ(std::set<std::string>(verified.begin(), verified.end()).size(), 9u);
    EXPECT_EQ(verified.size(), 9u);

    // Where the clock has less room left than --for, the run has no end rather than one past.
    statePath_ = stateFolder_.path("another.sqlite");
    steadyNow_ = Clock::time_point::max() - std::chrono::hours(24);
    const auto [status, out, err] =
        scrub({"--json", "-q", "--jobs", "1", "--for", "3650d", folder()});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(pathsWith(out).size(), 9u) << out;
}

TEST_F(ScrubTest, AFileGoneIsNamedOnceThenForgottenButAnExcludedOneIsNotGone)
{
    tagNineFiles();
    tree_.file("photos/sub/kept.jpg", "kept");
    ASSERT_EQ(std::get<0>(runInProcess({"tag", folder()}, environment_)), 0);
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    ASSERT_EQ(::unlink((folder() + "/2.jpg").c_str()), 0);

    const auto [status, out, err] = scrub({"--exclude", "sub/", folder()});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out, "⚠️ Gone since the last scrub: " + folder() +
                       "/2.jpg\nScrubbed 0 files in " + folder() +
                       ": 0 problems; 100% of its 8 files verified in the last 30 days.\n");
    EXPECT_EQ(std::get<1>(scrub({folder()})),
              "Scrubbed 0 files in " + folder() +
                  ": 0 problems; 100% of its 9 files verified in the last 30 days.\n")
        << "the excluded file was still known, and the gone one is forgotten";
}

TEST_F(ScrubTest, FilesWithoutADigestAreNotReadAndGiveStatusThree)
{
    tagNineFiles();
    tree_.file("photos/untagged.jpg", std::string(100000, 'u'));
    const auto [status, out, err] = scrub({"--json", folder()});
    EXPECT_EQ(status, 3) << err;
    const Json summary = Json::parse(out.substr(out.rfind('\n', out.size() - 2) + 1));
    EXPECT_EQ(summary["files"], 9);
    EXPECT_EQ(summary["no_digest"], 1);
    EXPECT_EQ(summary["bytes_read"], 9 * 4096) << "the untagged file's contents were read";
    EXPECT_EQ(std::get<0>(scrub({folder()})), 3) << "unchanged, it still has no digest";
    ASSERT_EQ(std::get<0>(runInProcess({"tag", folder()}, environment_)), 0);
    EXPECT_EQ(std::get<1>(scrub({folder()})),
              "Scrubbed 1 files in " + folder() +
                  ": 0 problems; 100% of its 10 files verified in the last 30 days.\n")
        << "a digest written changes the file's status time: it is due at once";
}

TEST_F(ScrubTest, ALostOrDamagedStateStartsAfreshAndAnUnusableOneIsStatusTwo)
{
    tagNineFiles();
    EXPECT_EQ(runInProcess({"status", "--state", statePath_}, environment_),
              (Outcome{0, "No folder has been scrubbed yet.\n", ""}));
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    const std::string everything =
        "Scrubbed 9 files in " + folder() +
        ": 0 problems; 100% of its 9 files verified in the last 30 days.\n";

    test::writeWholeFile(statePath_, std::string(8192, 'x'));
    const auto [status, out, err] = scrub({folder()});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, everything);
    EXPECT_NE(err.find("was damaged or no database; it was moved to " + statePath_ + ".corrupt-"),
              std::string::npos)
        << err;

    ASSERT_EQ(::unlink(statePath_.c_str()), 0);
    EXPECT_EQ(std::get<1>(scrub({folder()})), everything);

    const std::string folderInTheWay = stateFolder_.folder("in-the-way");
    const auto [unusable, unusableOut, unusableErr] =
        runInProcess({"scrub", "--state", folderInTheWay, folder()}, environment_);
    EXPECT_EQ(unusable, 2);
    EXPECT_EQ(unusableOut, "");
    EXPECT_NE(unusableErr.find(folderInTheWay), std::string::npos) << unusableErr;
}

TEST_F(ScrubTest, AStateInsideTheFolderIsNoFileWithoutADigest)
{
    tagNineFiles();
    const std::string inside = folder() + "/.local/state/quelby/scrub.sqlite";
    for (int run = 0; run < 2; ++run) {
        const auto [status, out, err] =
            runInProcess({"scrub", "--state", inside, folder()}, environment_);
        EXPECT_EQ(status, 0) << out << err;
        EXPECT_NE(out.find("of its 9 files"), std::string::npos) << out;
    }
}

TEST_F(ScrubTest, ASecondScrubOfAFolderBeingScrubbedEndsAtOnce)
{
    tagNineFiles();
    auto held = scrub::FolderLock::take(statePath_, folder());
    ASSERT_TRUE(held);
    EXPECT_EQ(scrub({folder()}), (Outcome{2, "",
                                          "quelby-cli: " + folder() +
                                              " is being scrubbed by another run of Quelby\n"}));
    EXPECT_EQ(std::get<0>(scrub({tree_.folder("other")})), 0) << "another folder is free";
    held = std::unexpected(scrub::FolderLock::Error{});
    EXPECT_EQ(std::get<0>(scrub({folder(), folder() + "/"})), 0) << "named twice, scrubbed once";
}

// A stop keeps what the run found: the problem is open for status and the next run.
TEST_F(ScrubTest, AStopInsideAHugeFileKeepsWhatTheRunFound)
{
    const std::string changed = tree_.file("huge/a.jpg", "changed since tagging");
    test::storeAttribute(changed, kDigestAttributeName, std::string(32, 'd'));
    // 20 GiB that take no room: read 1 KiB at a time, they outlast the test.
    const std::string huge = tree_.file("huge/sparse.bin");
    if (::truncate(huge.c_str(), 20LL << 30) != 0) {
        GTEST_SKIP() << "this file system has no room for a sparse 20 GiB file";
    }
    test::storeAttribute(huge, kDigestAttributeName, std::string(32, 'h'));
    const auto [status, out, err] =
        runTool({"scrub", "-b1K", "--jobs", "1", "--state", statePath_, tree_.root()}, -1, SIGINT);
    EXPECT_EQ(status, 130) << err;
    EXPECT_TRUE(out.starts_with("❌ Digests for " + changed + " aren't equal.\n")) << out;
    EXPECT_TRUE(out.ends_with("\nStopped after 1 files in " + tree_.root() + ".\n")) << out;
    const std::string shown =
        std::get<1>(runInProcess({"status", "--state", statePath_, tree_.root()}, environment_));
    EXPECT_NE(shown.find("; 1 open problems\n  ❌ " + changed + ": differs since "),
              std::string::npos)
        << shown;
}

TEST_F(ScrubTest, ReadsAManifestsDigestsAndFindsItsDamage)
{
    tree_.file("photos/a.txt", "alpha");
    tree_.file("photos/b.txt", "beta");
    ASSERT_EQ(std::get<0>(runInProcess({"tag", "--store", "manifest", folder()}, environment_)), 0);
    EXPECT_EQ(std::get<0>(scrub({folder()})), 0);
    test::writeWholeFile(folder() + "/b.txt", "BETA");
    const auto [status, out, err] = scrub({folder()});
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find(folder() + "/b.txt"), std::string::npos) << out;
    EXPECT_NE(out.find(": 1 problems; 100% of its 2 files"), std::string::npos) << out;
}

TEST(ScrubArguments, RefusesWhatCannotRunWithStatusTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"scrub"}, "missing FOLDER after 'scrub'"},
        {{"scrub", "--every", "0", "d"}, "invalid number of days '0'"},
        {{"scrub", "--for", "5x", "d"}, "invalid duration '5x'"},
        {{"scrub", "--for", "m", "d"}, "invalid duration 'm'"},
        {{"scrub", "--for", "3651d", "d"},
         "invalid duration '3651d': give at most 3650d (10 years)"},
        {{"scrub", "--for", "9223372036854775807s", "d"}, "'9223372036854775807s': give at most"},
        {{"scrub", "--for", "106751991167301d", "d"}, "'106751991167301d': give at most"},
        {{"scrub", "--for", "99999999999999999999d", "d"}, "'99999999999999999999d': give at most"},
        {{"scrub", "--every", "99999999999999999999", "d"}, "give a whole number from 1 to 36500"},
        {{"scrub", "--budget", "99999999999999999999T", "d"},
         "invalid size '99999999999999999999T'"},
        {{"scrub", "--budget", "20", "d"}, "invalid size '20'"},
        {{"check", "--notify", "d"}, "--notify applies to scrub, not to check"},
        {{"check", "--state", "s", "d"}, "--state applies to scrub and status, not to check"},
        {{"status", "-v"}, "--verbose does not apply to status"},
    };
    for (const auto& [args, message] : cases) {
        const auto [status, out, err] = runInProcess(args);
        EXPECT_EQ(status, 2) << args.front();
        EXPECT_NE(err.find(message), std::string::npos) << err;
    }
}

} // namespace
} // namespace quelby::cli
