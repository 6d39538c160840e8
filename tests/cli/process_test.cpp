#include "child_process.h"
#include "engine/run.h"
#include "engine/tag_store.h"
#include "support/temp_tree.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace quelby::test {
namespace {

std::string checkReport(const std::string& folder)
{
    RunOptions options;
    options.folder = folder;
    options.backEnd = platformDigestBackEnd();
    options.realBufferSize = 1048576;
    RunObserver observer;
    const RunState state = walkFolder(options, observer);
    return finishedRunText(options, state) + "\n";
}

TEST(CliProcess, ExitsWithZeroOneOrTwoAndPrintsOnlyTheReport)
{
    TempTree tree;
    tree.file("a.txt", "alpha");
    tree.file("sub/b.txt", "beta");

    const ChildResult tagged = runCli({"tag", tree.root()});
    EXPECT_EQ(tagged.status, 0);
    EXPECT_EQ(tagged.err, "");
    EXPECT_TRUE(tagged.out.starts_with("Tagged a total of 2 files in " + tree.root()))
        << tagged.out;

    const ChildResult matched = runCli({"check", tree.root()});
    EXPECT_EQ(matched.status, 0);
    EXPECT_EQ(matched.out, checkReport(tree.root()));

    writeWholeFile(tree.path("a.txt"), "changed");
    const ChildResult changed = runCli({"check", tree.root()});
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out, checkReport(tree.root()));
    EXPECT_EQ(changed.err, "");

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"check", tree.path("missing")}, {"check", "-b", "2G", tree.root()}, {"frobnicate"}}) {
        const ChildResult refused = runCli(args);
        EXPECT_EQ(refused.status, 2) << args.back();
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
    }
    const ChildResult version = runCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quelby-cli ") + QUELBY_VERSION + "\n");
}

TEST(CliProcess, EndsQuietlyWhenNobodyReadsItsOutput)
{
    TempTree tree;
    for (int i = 0; i < 50; ++i) {
        tree.file("f" + std::to_string(i), std::to_string(i));
    }
    const ChildResult result = runCli({"tag", "-v", tree.root()}, Stdout::closedPipe);
    EXPECT_EQ(result.status, 128 + SIGPIPE);
    EXPECT_EQ(result.err, "");
}

TEST(CliProcess, ReportsAFullDiskAsAFailure)
{
    TempTree tree;
    tree.file("a.txt", "alpha");
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    ::close(full);
    const int status = runCommand(std::string(QUELBY_CLI_PATH) + " check '" + tree.root() +
                                  "' >/dev/full 2>'" + tree.path("err") + "'");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(readWholeFile(tree.path("err")),
              "quelby-cli: cannot write the report to standard output: No space left on device\n");
}

// A file of 20 GiB that takes no room: reading it 1 KiB at a time lasts far
// longer than the test waits.
std::string hugeSparseFile(TempTree& tree)
{
    const std::string path = tree.file("huge/sparse.bin");
    if (::truncate(path.c_str(), 20LL << 30) != 0) {
        return {};
    }
    return path;
}

TEST(CliProcess, StopsOnSigintOrSigtermInsideAHugeFileWithNoReport)
{
    for (const auto& [signal, status] : {std::pair{SIGTERM, 143}, std::pair{SIGINT, 130}}) {
        TempTree tree;
        tree.file("a.txt", "alpha");
        const std::string huge = hugeSparseFile(tree);
        if (huge.empty()) {
            GTEST_SKIP() << "this file system has no room for a sparse 20 GiB file";
        }
        const ChildResult result =
            runCliOnTerminalAndSignal({"tag", "-b", "1K", tree.root()}, signal);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("B/s  "), std::string::npos)
            << "progress on the terminal: " << result.err;
        EXPECT_NE(result.err.find("sparse.bin"), std::string::npos) << result.err;
        EXPECT_FALSE(storedAttribute(huge, kDigestAttributeName))
            << "a stopped file stays untagged";
    }
}

TEST(CliProcess, DrawsNoProgressWhenStandardErrorIsNoTerminal)
{
    TempTree tree;
    tree.file("a.txt", std::string(3 << 20, 'a'));
    const ChildResult result = runCli({"check", "-b", "1K", tree.root()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, checkReport(tree.root()));
}

} // namespace
} // namespace quelby::test
