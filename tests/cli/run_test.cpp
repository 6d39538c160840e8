#include "cli/cli.h"
#include "engine/run_fixture.h"
#include "tool_runner.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace quelby::cli {
namespace {

// What the tool should hand the engine; the engine's report for it is the expected output.
RunOptions cliOptions(Operation operation, const std::string& folder, bool verbose = false,
                      std::int64_t setBufferSize = 1, std::int64_t realBufferSize = 1048576)
{
    RunOptions options = test::optionsFor(operation, folder, verbose);
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    return options;
}

TEST(RunInProcess, PrintsTheEnginesReportForEachCommandWithItsOptions)
{
    test::TempTree tree;
    tree.file("a.txt", "first");
    tree.file("sub/.hidden", "");
    const std::string root = tree.root();
    tree.folder("-v");
    CliEnvironment environment;
    environment.workingFolder = root;
    const struct
    {
        std::vector<std::string> args;
        RunOptions expected;
        bool stamped; // whether the files carry time stamps afterwards
    } cases[] = {
        {{"tag", "--verbose", "--buffer=4K", root},
         cliOptions(Operation::tag, root, true, 4, 4096),
         false},
        {{"check", "-vb2m", "."}, cliOptions(Operation::check, root, true, 2, 2097152), false},
        {{"check", "--", "-v"}, cliOptions(Operation::check, root + "/-v"), false},
        {{"tag", "-t", root}, cliOptions(Operation::tag, root), true},
        {{"retag", "-b", "1024M", "./sub/"},
         cliOptions(Operation::retag, root + "/sub", false, 1024, 1073741824),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runInProcess(c.args, environment),
                  (Outcome{0, test::runReport(c.expected) + "\n", ""}));
        const auto stamp = test::storedAttribute(tree.path("sub/.hidden"), kTimeAttributeName);
        EXPECT_EQ(stamp.value_or("").size(), c.stamped ? 20u : 0u) << c.args.front();
    }
}

TEST(RunInProcess, RefusesWhatCannotRunWithStatusTwoAndOneLine)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"verify", "d"}, "unknown command 'verify'"},
        {{"check", "a", "b"}, "unexpected argument 'b'"},
        {{"check", "--bogus\x1b[2J", "d"}, "unknown option '--bogus\\x1b[2J'"},
        {{"check", "--times", "d"}, "--times applies to tag and retag"},
        {{"check", "-b", "64", "d"}, "invalid buffer size '64'"},
        {{"check", "-b", "1025M", "d"}, "'1025M' is out of range"},
        {{"check", "-b", "99999999999999999999K", "d"}, "is out of range"},
    };
    for (const auto& [args, reason] : cases) {
        const auto [status, out, err] = runInProcess(args);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(out, "");
        EXPECT_TRUE(err.starts_with("quelby-cli: ") && err.find(reason) != std::string::npos &&
                    err.find('\n') == err.size() - 1)
            << err;
    }
}

TEST(CliProcess, PrintsOnlyTheReportAndExitsWithZeroOneOrTwo)
{
    test::TempTree tree;
    tree.file("a.txt", "first");
    tree.file("sub/c.txt", std::string(5000, 'c'));
    const std::string root = tree.root();
    EXPECT_EQ(runTool({"tag", root}),
              (Outcome{0, "Tagged a total of 2 files in " + root + " with 0 errors.\n", ""}));
    test::writeWholeFile(tree.path("sub/c.txt"), "changed");
    EXPECT_EQ(runTool({"check", root}),
              (Outcome{1, test::runReport(cliOptions(Operation::check, root)) + "\n", ""}));
    const std::string file = tree.path("a.txt");
    const std::string missing = tree.path("missing");
    const std::vector<std::pair<std::vector<std::string>, Outcome>> cases{
        {{"tag", missing}, {2, "", "quelby-cli: " + missing + ": No such file or directory\n"}},
        {{"tag", file}, {2, "", "quelby-cli: " + file + ": Not a directory\n"}},
        {{"tag", root + "/new\nline"},
         {2, "", "quelby-cli: " + root + "/new\\x0aline: No such file or directory\n"}},
        {{}, {2, "", "quelby-cli: missing command: check, tag, retag or repair (see quelby-cli --help)\n"}},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(runTool(args), expected);
    }
    // A report that cannot be written, or a failure to tag, is never a success.
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(runTool({"check", root}, full),
              (Outcome{1, "",
                       "quelby-cli: cannot write the report to standard output: No space "
                       "left on device\n"}));
    ::close(full);
    if (!test::setImmutable(file, true)) {
        GTEST_SKIP() << "chattr +i is not possible here";
    }
    const auto [status, out, err] = runTool({"tag", root});
    test::setImmutable(file, false);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(out.starts_with("\xe2\x9d\x8c Couldn't tag " + file + ": ")) << out;
}

// A stop keeps the record of what the run already changed.
TEST(CliProcess, StopsInsideAHugeFileKeepingTheLinesOfFinishedFiles)
{
    test::TempTree tree;
    const std::string changed = tree.file("huge/a.jpg", "changed since tagging");
    test::storeAttribute(changed, kDigestAttributeName, digestOfBytes("as tagged").view());
    // 20 GiB that take no room: read 1 KiB at a time, they outlast the test.
    const std::string huge = tree.file("huge/sparse.bin");
    if (::truncate(huge.c_str(), 20LL << 30) != 0) {
        GTEST_SKIP() << "this file system has no room for a sparse 20 GiB file";
    }
    const auto [status, out, err] = runTool({"retag", "-b1K", tree.root()}, -1, SIGINT);
    EXPECT_EQ(status, 130);
    EXPECT_EQ(out, "⚠️ Retagged " + changed + "\nStopped after 1 files in " + tree.root() + ".\n");
    EXPECT_EQ(test::storedAttribute(changed, kDigestAttributeName),
              std::string(digestOfBytes("changed since tagging").view()));
    EXPECT_FALSE(test::storedAttribute(huge, kDigestAttributeName)) << "stopped mid-way";
    EXPECT_NE(err.find("B/s  "), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("\r\x1b[K")) << "the line goes with the walk: " << err;
    std::istringstream drawings(err);
    for (std::string drawing; std::getline(drawings, drawing, '\r');) {
        EXPECT_LE(drawing.size(), 49u + 3u) << "fits the terminal: " << drawing;
    }
}

} // namespace
} // namespace quelby::cli
