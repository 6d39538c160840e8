#include "cli/cli.h"
#include "engine/scrub/folder_lock.h"
#include "engine/scrub/state/scrub_state.h"
#include "engine/store/repair_marks.h"
#include "engine/store/tag_store.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"
#include "tool_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <mutex>
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
    EXPECT_NE(statusText.find("1 open problem\n  ❌ " + damaged + ": differs (unknown) since "),
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
    const std::string untagged = tree_.file("photos/untagged.jpg", std::string(100000, 'u'));
    const auto [status, out, err] = scrub({"--json", folder()});
    EXPECT_EQ(status, 3) << err;
    const Json summary = Json::parse(out.substr(out.rfind('\n', out.size() - 2) + 1));
    EXPECT_EQ(summary["files"], 9);
    EXPECT_EQ(summary["no_digest"], 1);
    EXPECT_EQ(summary["without_digest"], 1);
    EXPECT_EQ(summary["verified_in_period_percent"], 90);
    EXPECT_EQ(summary["bytes_read"], 9 * 4096) << "the untagged file's contents were read";

    // Unchanged, it still has no digest, and every run says so.
    const std::string metrics = stateFolder_.path("quelby.prom");
    const auto [again, againOut, againErr] = scrub({"-v", "--metrics", metrics, folder()});
    EXPECT_EQ(again, 3);
    EXPECT_TRUE(againOut.starts_with("⚠️ No digest found for " + untagged)) << againOut;
    EXPECT_TRUE(againOut.ends_with("Scrubbed 0 files in " + folder() +
                                   ": 0 problems; 90% of its 10 files verified in the last 30 "
                                   "days; 1 file has no digest.\n"))
        << againOut;
    const std::string written = test::readWholeFile(metrics);
    for (const std::string& sample :
         {"quelby_scrub_files{folder=\"" + folder() + "\"} 9\n",
          "quelby_scrub_files_without_digest{folder=\"" + folder() + "\"} 1\n"}) {
        EXPECT_NE(written.find(sample), std::string::npos) << sample << written;
    }
    // Status shows the scrub's own figures: a file without a digest is neither verified
    // nor a problem.
    const std::string shown =
        std::get<1>(runInProcess({"status", "--state", statePath_}, environment_));
    EXPECT_NE(shown.find("; 90% of its 10 files verified in the last 30 days; 0 open problems; 1 "
                         "file has no digest (quelby-cli retag --times --only-edited " +
                         folder() + ")\n"),
              std::string::npos)
        << shown;
    const Json figures = Json::parse(
        std::get<1>(runInProcess({"status", "--json", "--state", statePath_}, environment_)));
    EXPECT_EQ(figures["files"], 9);
    EXPECT_EQ(figures["without_digest"], 1);
    EXPECT_EQ(figures["verified_in_period"], 9);
    EXPECT_EQ(figures["verified_in_period_percent"], 90);
    EXPECT_EQ(figures["open_problems"].size(), 0U);

    // A folder nobody tagged is not verified at all.
    tree_.file("bare/a", "a");
    tree_.file("bare/b", "b");
    EXPECT_EQ(std::get<1>(scrub({tree_.path("bare")})),
              "Scrubbed 0 files in " + tree_.path("bare") +
                  ": 0 problems; 0% of its 2 files verified in the last 30 days; 2 files have "
                  "no digest.\n");

    ASSERT_EQ(std::get<0>(runInProcess({"tag", folder()}, environment_)), 0);
    EXPECT_EQ(std::get<1>(scrub({folder()})),
              "Scrubbed 1 file in " + folder() +
                  ": 0 problems; 100% of its 10 files verified in the last 30 days.\n")
        << "a digest written changes the file's status time: it is due at once";
}

TEST_F(ScrubTest, TagNewTagsSettledFilesOnlyAndNeverTouchesAStoredDigest)
{
    tagNineFiles();
    constexpr time_t kLongAgo = 1577836800;
    // Damage, whose stored digest is the evidence: never replaced.
    const std::string damaged = folder() + "/0.jpg";
    const std::string evidence = test::storedDigest(damaged);
    test::writeWholeFile(damaged, std::string(4096, 'Z'));
    ASSERT_TRUE(test::setModificationTime(damaged, kLongAgo));
    const std::string settled = tree_.file("photos/settled.jpg", "copied whole long ago");
    ASSERT_TRUE(test::setModificationTime(settled, kLongAgo));
    const std::string arriving = tree_.file("photos/arriving.jpg", "still being copied");
    // A link may lead anywhere, out of the folder too: what it leads to is left alone.
    const std::string outside = tree_.file("outside.txt", "not in the folder");
    ASSERT_TRUE(test::setModificationTime(outside, kLongAgo));
    ASSERT_EQ(::symlink(outside.c_str(), (folder() + "/link.txt").c_str()), 0);
    // Seen without a digest by a scrub that did not tag, and unchanged since.
    ASSERT_EQ(std::get<0>(scrub({folder()})), 1);

    const auto [status, out, err] = scrub({"--json", "--tag-new", folder()});
    EXPECT_EQ(status, 1) << err;
    EXPECT_EQ(pathsWith(out, {"tagged"}), std::multiset<std::string>{settled}) << out;
    EXPECT_EQ(pathsWith(out, {"no-digest"}),
              (std::multiset<std::string>{arriving, folder() + "/link.txt"}))
        << out;
    EXPECT_EQ(test::storedDigest(outside), "(none)");
    EXPECT_EQ(Json::parse(out.substr(out.rfind('\n', out.size() - 2) + 1))["new_tagged"], 1);
    EXPECT_EQ(test::storedDigest(damaged), evidence);
    EXPECT_EQ(test::storedDigest(arriving), "(none)");
    EXPECT_NE(test::storedDigest(settled), "(none)");
    EXPECT_TRUE(test::storedAttribute(settled, kTimeAttributeName)) << "tagged without a stamp";

    // The file tagged is not due again; the one that settled since is tagged now.
    ASSERT_TRUE(test::setModificationTime(arriving, kLongAgo));
    const auto [again, againOut, againErr] = scrub({"-v", "--tag-new", folder()});
    EXPECT_EQ(againOut.find(settled), std::string::npos) << againOut;
    EXPECT_NE(againOut.find("✅ Tagged new file " + arriving + "\n"), std::string::npos)
        << againOut;
    EXPECT_TRUE(againOut.ends_with(" days; 1 file has no digest; 1 new file tagged.\n")) << againOut;
    EXPECT_NE(test::storedDigest(arriving), "(none)");

    // A manifest is written by Tag under its lock: the scrub leaves its new files alone.
    tree_.file("listed/a.txt", "alpha");
    ASSERT_EQ(std::get<0>(runInProcess({"tag", "--store", "manifest", tree_.path("listed")},
                                       environment_)),
              0);
    const std::string manifest = test::readWholeFile(tree_.path("listed/.quelby.sha256"));
    const std::string unlisted = tree_.file("listed/b.txt", "beta");
    ASSERT_TRUE(test::setModificationTime(unlisted, kLongAgo));
    const auto [listed, listedOut, listedErr] = scrub({"--tag-new", tree_.path("listed")});
    EXPECT_EQ(listed, 3) << listedOut << listedErr;
    EXPECT_EQ(test::readWholeFile(tree_.path("listed/.quelby.sha256")), manifest);
    EXPECT_EQ(test::storedDigest(unlisted), "(none)");
}

TEST_F(ScrubTest, ALostOrDamagedStateStartsAfreshAndAnUnusableOneIsStatusTwo)
{
    tagNineFiles();
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

// A link in the state's place, or in its lock's, could point a scrub run by
// root at any file: it is refused and what it points at is left as it was.
TEST_F(ScrubTest, AStateOrLockThatIsALinkIsStatusTwoAndItsTargetIsUntouched)
{
    tagNineFiles();
    // Another database, which SQLite would gladly write into.
    const std::string target = stateFolder_.path("precious.sqlite");
    ASSERT_EQ(std::get<0>(
                  runInProcess({"scrub", "--state", target, tree_.folder("other")}, environment_)),
              0);
    const std::string before = test::readWholeFile(target);
    const auto locks = [this] {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(stateFolder_.root())) {
            if (entry.path().filename().string().starts_with("scrub-")) {
                names.insert(entry.path().string());
            }
        }
        return names;
    };
    const std::set<std::string> otherLocks = locks();
    ASSERT_EQ(::symlink(target.c_str(), statePath_.c_str()), 0);
    const std::string notFollowed = "it is a symbolic link, which Quelby does not follow";
    for (const std::string command : {"scrub", "status"}) {
        const auto [status, out, err] =
            runInProcess({command, "--state", statePath_, folder()}, environment_);
        EXPECT_EQ(status, 2) << command;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "quelby-cli: the scrub state " + statePath_ +
                           " could not be opened: " + notFollowed + "\n");
    }
    EXPECT_EQ(test::readWholeFile(target), before);
    ASSERT_EQ(::unlink(statePath_.c_str()), 0);
    // Nor is SQLite's log beside it followed.
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    const std::string log = statePath_ + "-wal";
    ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
    EXPECT_EQ(std::get<0>(scrub({folder()})), 2);
    EXPECT_EQ(test::readWholeFile(target), before);
    ASSERT_EQ(::unlink(log.c_str()), 0);
    ASSERT_EQ(::unlink(statePath_.c_str()), 0);
    // A folder on the way reached through a link (a home that is one) is no planted link.
    const std::string linkedFolder = tree_.path("state-link");
    ASSERT_EQ(::symlink(stateFolder_.root().c_str(), linkedFolder.c_str()), 0);
    EXPECT_EQ(std::get<0>(runInProcess(
                  {"scrub", "--state", linkedFolder + "/other.sqlite", folder()}, environment_)),
              0);

    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    std::vector<std::string> made;
    std::ranges::set_difference(locks(), otherLocks, std::back_inserter(made));
    ASSERT_EQ(made.size(), 1u);
    const std::string lock = made.front();
    ASSERT_EQ(::unlink(lock.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);
    const auto [status, out, err] = scrub({folder()});
    EXPECT_EQ(status, 2);
    EXPECT_EQ(err,
              "quelby-cli: the lock file " + lock + " could not be taken: " + notFollowed + "\n");
    EXPECT_EQ(test::readWholeFile(target), before);
}

// The state is a file of the user's that anyone with their rights may edit;
// a path in it that leaves the folder is dropped, never looked at.
TEST_F(ScrubTest, AStateRecordWhosePathLeavesTheFolderIsDroppedWithALineAndNeverProbed)
{
    tagNineFiles();
    tree_.file("secret.jpg", "outside the folder");
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    const std::vector<std::string> stray{"../secret.jpg", "/etc/passwd", "a//b", "sub/..",
                                         std::string("x\0y", 3), "./a.jpg"};
    {
        auto state = scrub::ScrubState::open(statePath_, [](const std::string&) {});
        ASSERT_TRUE(state) << state.error();
        for (const std::string& path : stray) {
            ASSERT_TRUE((*state)->record(
                folder(), path,
                scrub::KnownFile{1, 1, 1, wallSeconds_, scrub::LastResult::differs, wallSeconds_},
                wallSeconds_));
        }
    }
    std::string dropped;
    for (const std::string path :
         {"../secret.jpg", "./a.jpg", "/etc/passwd", "a//b", "sub/..", "x\\x00y"}) {
        dropped += "quelby-cli: the scrub state " + statePath_ + " held a record for \"" + path +
                   "\" in " + folder() + ", which is no path below it; the record was dropped\n";
    }
    const auto [status, out, err] = scrub({"-v", folder()});
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(err, dropped);
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    EXPECT_NE(out.find(": 0 problems; 100% of its 9 files"), std::string::npos) << out;
    const auto [statusCode, statusText, statusErr] =
        runInProcess({"status", "--state", statePath_}, environment_);
    EXPECT_EQ(statusErr, "") << "dropped once, not again";
    EXPECT_TRUE(statusText.ends_with("; 0 open problems\n")) << statusText;
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
    const Outcome refused{
        2, "", "quelby-cli: " + folder() + " is being scrubbed by another run of Quelby\n"};
    {
        // The built tool, started while this run reads the folder's first file.
        std::once_flag started;
        Outcome during;
        test::ScriptedSystemCalls calls;
        calls.onRead = [&](int fd, void* buffer, std::size_t size) {
            if (test::openedPath(fd).ends_with(".jpg")) {
                std::call_once(started, [&] {
                    during = runTool({"scrub", "--state", statePath_, folder()});
                });
            }
            return calls.realRead(fd, buffer, size);
        };
        EXPECT_EQ(std::get<0>(scrub({folder()})), 0);
        EXPECT_EQ(during, refused);
    }
    auto held = scrub::FolderLock::take(statePath_, folder());
    ASSERT_TRUE(held);
    EXPECT_EQ(scrub({folder()}), refused);
    EXPECT_EQ(std::get<0>(scrub({tree_.folder("other")})), 0) << "another folder is free";
    held = std::unexpected(scrub::FolderLock::Error{});
    EXPECT_EQ(std::get<0>(scrub({folder(), folder() + "/"})), 0) << "named twice, scrubbed once";
}

// A folder the walk could not open still holds the files the state knew
// there: none is forgotten, and none counts as verified while it is shut.
TEST_F(ScrubTest, FilesBelowAFolderThatCannotBeOpenedCountAsNotVerified)
{
    tagNineFiles();
    tree_.file("photos/shut/a.jpg", "a");
    tree_.file("photos/shut/b.jpg", "b");
    tree_.file("photos/shut/c.jpg", "c");
    ASSERT_EQ(std::get<0>(runInProcess({"tag", folder()}, environment_)), 0);
    ASSERT_EQ(std::get<0>(scrub({folder()})), 0);
    {
        test::ScriptedSystemCalls calls;
        calls.onOpenAt = [&calls](int dirFd, const char* name, int flags) {
            if (std::string_view(name) == "shut") {
                errno = EMFILE;
                return -1;
            }
            return calls.SystemCalls::openAt(dirFd, name, flags);
        };
        const auto [status, out, err] = scrub({folder()});
        EXPECT_EQ(status, 1) << err;
        EXPECT_EQ(out, "❌ Couldn't read " + folder() + "/shut: " + std::strerror(EMFILE) +
                           "\nScrubbed 0 files in " + folder() +
                           ": 1 problem; 75% of its 12 files verified in the last 30 days.\n");
    }
    EXPECT_EQ(std::get<1>(scrub({folder()})),
              "Scrubbed 0 files in " + folder() +
                  ": 0 problems; 100% of its 12 files verified in the last 30 days.\n")
        << "its files were neither verified nor forgotten";
}

// A damaged copy a repair kept is no file of the folder's to verify; status
// names it, so that it is not forgotten on the disk.
TEST_F(ScrubTest, ADamagedCopyKeptByRepairIsNotCountedAndStatusNamesItOnce)
{
    tagNineFiles();
    const std::string copy = tree_.file("photos/3.jpg.damaged", "damaged bytes");
    test::storeAttribute(copy, kDamagedAttributeName,
                         damagedMarkValue("3.jpg", "2026-01-02T03:04:05Z"));
    for (int run = 0; run < 2; ++run) {
        const auto [status, out, err] = scrub({folder()});
        EXPECT_TRUE(out.ends_with(": 0 problems; 100% of its 9 files verified in the last 30 "
                                  "days.\n"))
            << out;
    }
    const std::string shown =
        std::get<1>(runInProcess({"status", "--state", statePath_}, environment_));
    EXPECT_TRUE(shown.ends_with("; 0 open problems\n  ⚠️ Damaged copy kept by repair: " + copy +
                                " (delete it once you no longer need it)\n"))
        << shown;
}

// What a killed scrub committed is there for status at once, before any
// scrub of the folder has finished.
TEST_F(ScrubTest, ProblemsOfAScrubThatNeverFinishedShowInStatus)
{
    tagNineFiles();
    {
        auto state = scrub::ScrubState::open(statePath_, [](const std::string&) {});
        ASSERT_TRUE(state) << state.error();
        ASSERT_TRUE((*state)->record(
            folder(), "4.jpg",
            scrub::KnownFile{4096, 1, 1, wallSeconds_, scrub::LastResult::differs, wallSeconds_},
            wallSeconds_));
        ASSERT_TRUE((*state)->record(folder(), "5.jpg", scrub::KnownFile{}, wallSeconds_));
    }
    const auto [status, out, err] =
        runInProcess({"status", "--state", statePath_, folder()}, environment_);
    EXPECT_EQ(status, 0) << err;
    EXPECT_TRUE(out.starts_with(folder() + ": no scrub has finished yet; 1 open problem\n  ❌ " +
                                folder() + "/4.jpg: differs since "))
        << out;
    const auto [jsonStatus, json, jsonErr] =
        runInProcess({"status", "--json", "--state", statePath_}, environment_);
    EXPECT_EQ(Json::parse(json)["open_problems"].size(), 1u) << json;
    EXPECT_TRUE(Json::parse(json).at("last_scrubbed").is_null()) << json;
}

// However the folder is spelt, it is one folder: one lock, one record.
TEST_F(ScrubTest, AFolderThroughALinkSharesTheLockAndTheRecordOfItsRealPath)
{
    tagNineFiles();
    const std::string link = tree_.path("link");
    ASSERT_EQ(::symlink(folder().c_str(), link.c_str()), 0);
    {
        // Recorded under the link by an earlier run, with a problem still open, and
        // under the real path as matching since: the open problem is what is kept.
        auto state = scrub::ScrubState::open(statePath_, [](const std::string&) {});
        ASSERT_TRUE(state) << state.error();
        ASSERT_TRUE((*state)->record(
            link, "4.jpg",
            scrub::KnownFile{4096, 1, 1, wallSeconds_, scrub::LastResult::differs, wallSeconds_},
            wallSeconds_));
        ASSERT_TRUE((*state)->record(
            folder(), "4.jpg",
            scrub::KnownFile{4096, 1, 1, wallSeconds_, scrub::LastResult::matched, std::nullopt},
            wallSeconds_));
        scrub::FolderRecord record;
        record.folder = link;
        record.lastRun = wallSeconds_ - kDay;
        ASSERT_TRUE((*state)->saveFolder(record));
    }
    const auto [status, out, err] =
        runInProcess({"status", "--state", statePath_, link + "/../link"}, environment_);
    EXPECT_TRUE(out.starts_with(folder() + ": last scrubbed ")) << out;
    EXPECT_NE(out.find("; 1 open problem\n  ❌ " + folder() + "/4.jpg: differs since "),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(link), std::string::npos) << out;

    auto held = scrub::FolderLock::take(statePath_, folder());
    ASSERT_TRUE(held);
    EXPECT_EQ(scrub({link}), (Outcome{2, "",
                                      "quelby-cli: " + folder() +
                                          " is being scrubbed by another run of Quelby\n"}));
    held = std::unexpected(scrub::FolderLock::Error{});
    EXPECT_TRUE(std::get<1>(scrub({link})).starts_with("Scrubbed 9 files in " + folder() + ":"));
    EXPECT_TRUE(std::get<1>(scrub({folder()})).starts_with("Scrubbed 0 files in " + folder()))
        << "the run through the link verified them";
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
    EXPECT_NE(shown.find("; 1 open problem\n  ❌ " + changed + ": differs (unknown) since "),
              std::string::npos)
        << shown;
}

// Each problem's line ends with what to do about it, for its verdict as the
// scrub found it; the folder is one word a shell reads back, spaces and all.
TEST_F(ScrubTest, StatusGivesEachOpenProblemItsVerdictAndItsNextStep)
{
    constexpr time_t kTagged = 1577836800;
    const std::string photos = tree_.folder("my photos");
    const std::string quoted = "'" + photos + "'";
    std::vector<std::string> files;
    for (const std::string name : {"damaged.jpg", "edited.jpg", "untold.jpg", "unread.jpg",
                                   "set/damaged.jpg", "set/intact.jpg"}) {
        files.push_back(tree_.file("my photos/" + name, "the bytes of " + name));
        ASSERT_TRUE(test::setModificationTime(files.back(), kTagged));
    }
    ASSERT_EQ(std::get<0>(runInProcess({"tag", "-t", "--parity", "10", photos}, environment_)), 0);
    // A set in set/ only: damage there needs no copy.
    ASSERT_EQ(::unlink((photos + "/.quelby.par2").c_str()), 0);
    for (const std::size_t damaged : {0u, 4u}) {
        test::writeWholeFile(files[damaged], "DAMAGED");
        ASSERT_TRUE(test::setModificationTime(files[damaged], kTagged));
    }
    test::writeWholeFile(files[1], "an edit");
    ASSERT_TRUE(test::setModificationTime(files[1], std::time(nullptr) + 100));
    test::writeWholeFile(files[2], "who knows");
    test::removeAttribute(files[2], kTimeAttributeName);
    const auto [scrubbed, scrubOut, scrubErr] = scrub({photos});
    EXPECT_EQ(scrubbed, 1) << scrubErr;
    EXPECT_NE(scrubOut.find("Scrubbed 6 files in " + photos + ": 4 problems; "), std::string::npos)
        << scrubOut;
    {
        // A read failure, which a root test cannot make on the disk.
        auto state = scrub::ScrubState::open(statePath_, [](const std::string&) {});
        ASSERT_TRUE(state) << state.error();
        ASSERT_TRUE((*state)->record(
            photos, "unread.jpg",
            scrub::KnownFile{1, 1, 1, std::nullopt, scrub::LastResult::readFailed, wallSeconds_},
            wallSeconds_));
    }

    const auto [status, out, err] = runInProcess({"status", "--state", statePath_}, environment_);
    EXPECT_EQ(status, 0) << err;
    const std::string since = " since ";
    const std::vector<std::pair<std::string, std::string>> lines{
        {files[0] + ": differs (damaged)", "; repair: quelby-cli repair --from COPY " + quoted},
        {files[1] + ": differs (edited)",
         "; accept: quelby-cli retag --only-edited --times " + quoted},
        {files[4] + ": differs (damaged)", "; repair: quelby-cli repair " + quoted},
        {files[3] + ": read-failed",
         "; look: why it cannot be read (its permissions, its disk); the next scrub tries it "
         "first"},
        {files[2] + ": differs (unknown)",
         "; repair: quelby-cli repair --also-unknown --from COPY " + quoted +
             "; accept: quelby-cli retag --only-edited --times " + quoted},
    };
    for (const auto& [start, end] : lines) {
        const auto at = out.find("\n  ❌ " + start + since);
        ASSERT_NE(at, std::string::npos) << start << "\n" << out;
        const std::string line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
        EXPECT_TRUE(line.ends_with(end)) << line;
    }
    EXPECT_NE(out.find("; 5 open problems\n"), std::string::npos) << out;

    const auto [jsonStatus, json, jsonErr] =
        runInProcess({"status", "--json", "--state", statePath_}, environment_);
    const Json problems = Json::parse(json).at("open_problems");
    ASSERT_EQ(problems.size(), 5u) << json;
    std::map<std::string, std::pair<Json, Json>> byPath;
    for (const Json& problem : problems) {
        byPath[problem.at("path").get<std::string>()] = {problem.at("verdict"),
                                                         problem.at("next_steps")};
    }
    EXPECT_EQ(byPath[files[4]].first, Json("damaged"));
    EXPECT_EQ(byPath[files[4]].second, Json::array({"repair: quelby-cli repair " + quoted}));
    EXPECT_EQ(byPath[files[3]].first, Json(nullptr));
    EXPECT_EQ(byPath[files[2]].second.size(), 2u);

    // One of each: the nouns are singular.
    const std::string one = tree_.folder("one");
    const std::string only = tree_.file("one/only.jpg", "only");
    ASSERT_TRUE(test::setModificationTime(only, kTagged));
    ASSERT_EQ(std::get<0>(runInProcess({"tag", "-t", one}, environment_)), 0);
    test::writeWholeFile(only, "ONLY");
    ASSERT_TRUE(test::setModificationTime(only, kTagged));
    EXPECT_EQ(std::get<1>(scrub({"--every", "1", one})),
              "❌ Digests for " + only + " aren't equal.\nScrubbed 1 file in " + one +
                  ": 1 problem; 100% of its 1 file verified in the last 1 day.\n");
    EXPECT_NE(std::get<1>(runInProcess({"status", "--state", statePath_, one}, environment_))
                  .find("; 100% of its 1 file verified in the last 1 day; 1 open problem\n"),
              std::string::npos);
}

// Only a scrub makes a state: status with a state that is not there makes
// none, and says so when the state was named.
TEST_F(ScrubTest, StatusOfAStateThatIsNotThereCreatesNothing)
{
    const std::string typo = stateFolder_.path("typo/scrub.sqlite");
    EXPECT_EQ(runInProcess({"status", "--state", typo}, environment_),
              (Outcome{2, "", "quelby-cli: no scrub state at " + typo + "\n"}));
    EXPECT_EQ(
        runInProcess({"status", "--json", "--state", "typo.sqlite"}, environment_),
        (Outcome{2, "", "quelby-cli: no scrub state at " + tree_.path("typo.sqlite") + "\n"}));
    const std::string home = stateFolder_.folder("home");
    ::setenv("XDG_STATE_HOME", home.c_str(), 1);
    EXPECT_EQ(runInProcess({"status"}, environment_),
              (Outcome{0, "No folder has been scrubbed yet.\n", ""}));
    EXPECT_EQ(runInProcess({"status", tree_.root()}, environment_),
              (Outcome{0, tree_.root() + ": never scrubbed\n", ""}));
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(test::namesIn(stateFolder_.root()), std::vector<std::string>{"home"});
    EXPECT_EQ(test::namesIn(home), std::vector<std::string>{});
    EXPECT_EQ(test::namesIn(tree_.root()), std::vector<std::string>{});
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
    EXPECT_NE(out.find(": 1 problem; 100% of its 2 files"), std::string::npos) << out;
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
        {{"tag", "--tag-new", "d"}, "--tag-new applies to scrub, not to tag"},
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
