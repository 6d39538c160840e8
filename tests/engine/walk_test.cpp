#include "run_fixture.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

using test::optionsFor;
using test::runReport;
using test::TempTree;

TEST(Walk, NormalisesTheFolderWithoutResolvingLinks)
{
    const struct
    {
        const char* folder;
        const char* working;
        const char* expected;
    } cases[] = {
        {"/a/b", "/cwd", "/a/b"},        {"a//b/./", "/cwd", "/cwd/a/b"},
        {".", "/cwd/", "/cwd"},          {"/", "/cwd", "/"},
        {"//x/../y", "/cwd", "/x/../y"}, {"./link/", "/home/u", "/home/u/link"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalisedFolder(c.folder, c.working), c.expected) << c.folder;
    }
}

TEST(Walk, VisitsEveryFileDepthFirstInByteOrderIncludingHiddenOnes)
{
    TempTree tree;
    const auto f = tree.folder("root");
    tree.file("root/b/z", "1");
    tree.file("root/a", "2");
    tree.file("root/.hidden", "3");
    tree.file("root/B", "4");
    tree.file("root/b/a/deep", "5");
    tree.file("root/\xc3\xa9t\xc3\xa9", "6");
    tree.folder("root/empty/nested");
    EXPECT_EQ(runReport(optionsFor(Operation::check, f, true)),
              "⚠️ No digest found for " + f +
                  "/.hidden @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/B @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/a @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/b/a/deep @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/b/z @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/\xc3\xa9t\xc3\xa9 @ ??\n"
                  "Checked a total of 6 files in " +
                  f +
                  "\n\t0 matched digest correctly\n"
                  "\t0 didn't match their digest\n\t6 had no digest.\n"
                  "Buffer size 4 giving actual buffer 4096");
}

TEST(Walk, FollowsLinksToFilesButNeverIntoFoldersAndNeverOpensSpecialFiles)
{
    TempTree tree;
    const auto f = tree.folder("root");
    const auto target = tree.file("outside/file", "x");
    tree.file("outside/inner/file", "y");
    ASSERT_EQ(::symlink(target.c_str(), tree.path("root/to-file").c_str()), 0);
    ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.path("root/to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("..", tree.path("root/to-parent").c_str()), 0);
    ASSERT_EQ(::symlink("missing", tree.path("root/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", tree.path("root/to-device").c_str()), 0);
    ASSERT_EQ(::mkfifo(tree.path("root/pipe").c_str(), 0644), 0);

    RunState state;
    const std::string report = runReport(optionsFor(Operation::retag, f), &state);
    EXPECT_EQ(report, "❌ Couldn't read " + f + "/dangling: " + std::strerror(ENOENT) +
                          "\n"
                          "⚠️ Tagged " +
                          f +
                          "/to-file\n"
                          "Retagged a total of 4 files in " +
                          f +
                          "\t0 matched digest correctly\n\t0 were retagged\n"
                          "\t1 were tagged for the first time.");
    EXPECT_EQ(test::storedAttribute(target, kDigestAttributeName),
              std::string(digestOfBytes("x").view()));
}

TEST(Walk, ReportsFoldersItCannotListAndGoesOn)
{
    TempTree tree;
    const auto f = tree.folder("root");
    tree.file("root/a", "a");
    tree.file("root/closed/inside", "hidden");
    tree.file("root/z", "z");
    ASSERT_EQ(::chmod(tree.path("root/closed").c_str(), 0), 0);
    const std::string expected = "❌ Couldn't read " + f + "/closed: " + std::strerror(EACCES) +
                                 "\nChecked a total of 2 files in " + f +
                                 "\t0 matched digest correctly\n\t0 didn't match their digest\n"
                                 "\t2 had no digest.";
    const auto status = test::runUnprivileged(
        [&] { return runReport(optionsFor(Operation::check, f)) == expected ? 0 : 1; });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);

    auto hugeBuffer = optionsFor(Operation::check, f);
    hugeBuffer.realBufferSize = std::int64_t{1} << 62;
    EXPECT_EQ(runReport(hugeBuffer)
                  .find("❌ Couldn't read " + f + ": " + std::strerror(ENOMEM) +
                        "\nChecked a total of 0 files"),
              0u);

    RunState state;
    const std::string missing = runReport(optionsFor(Operation::tag, tree.path("gone")), &state);
    EXPECT_EQ(missing, "❌ Couldn't read " + tree.path("gone") + ": " + std::strerror(ENOENT) +
                           "\nTagged a total of 0 files in " + tree.path("gone") +
                           " with 1 errors.");
}

TEST(Walk, ANameCannotForgeOrHideAReportLine)
{
    TempTree tree;
    const auto f = tree.folder("root");
    tree.file("root/evil\n✅ Digests for /fake", "1");
    tree.file("root/esc\x1b[2K\xe2\x80\xaeright", "2");
    tree.file("root/raw\xff", "3");
    const std::string report = runReport(optionsFor(Operation::check, f, true));
    EXPECT_EQ(report.substr(0, report.find("Checked")),
              "⚠️ No digest found for " + f +
                  "/esc\\x1b[2K\\xe2\\x80\\xaeright @ ??\n"
                  "⚠️ No digest found for " +
                  f +
                  "/evil\\x0a✅ Digests for /fake @ ??\n"
                  "⚠️ No digest found for " +
                  f + "/raw\xff @ ??\n");
}

TEST(Walk, StopsBetweenFilesAndLeavesTheRestUntouched)
{
    TempTree tree;
    const auto f = tree.folder("root");
    for (char name = 'a'; name <= 'j'; ++name) {
        tree.file(std::string("root/") + name, std::string(100000, name));
    }
    test::RecordingObserver observer;
    observer.stopAfterFiles = 3;
    const RunState state = walkFolder(optionsFor(Operation::tag, f, false, true), observer);
    EXPECT_TRUE(state.stopped);
    EXPECT_EQ(state.totalCount, 3);
    for (char name = 'a'; name <= 'j'; ++name) {
        const auto path = tree.path(std::string("root/") + name);
        const auto digest = test::storedAttribute(path, kDigestAttributeName);
        const auto stamp = test::storedAttribute(path, kTimeAttributeName);
        EXPECT_EQ(digest.has_value(), name <= 'c') << name;
        EXPECT_EQ(stamp.has_value(), digest.has_value()) << name;
        if (digest) {
            EXPECT_EQ(*digest, std::string(digestOfBytes(test::readWholeFile(path)).view()));
        }
    }
}

TEST(Walk, ReachesFilesBelowPathsLongerThanPathMax)
{
    TempTree tree;
    std::string relative = "root";
    const std::string level(200, 'd');
    for (int depth = 0; depth < 25; ++depth) {
        relative += "/" + level;
    }
    ASSERT_GT(tree.path(relative).size(), 4096u);
    // Build the chain with relative steps: the whole path is too long for one call.
    ASSERT_EQ(::chdir(tree.root().c_str()), 0);
    ::mkdir("root", 0755);
    ASSERT_EQ(::chdir("root"), 0);
    for (int depth = 0; depth < 25; ++depth) {
        ::mkdir(level.c_str(), 0755);
        ASSERT_EQ(::chdir(level.c_str()), 0);
    }
    test::writeWholeFile("deep.txt", "deep");
    ASSERT_EQ(::chdir("/"), 0);

    RunState state;
    const std::string report =
        runReport(optionsFor(Operation::retag, tree.path("root"), true), &state);
    EXPECT_EQ(state.firstTagCount, 1);
    EXPECT_EQ(report.find("⚠️ Tagged " + tree.path(relative) + "/deep.txt\n"), 0u);
}

} // namespace
} // namespace quelby
