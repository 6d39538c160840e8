#include "cli/cli.h"
#include "cli/common/progress_line.h"
#include "cli/options/help_text.h"
#include "engine/run_fixture.h"
#include "support/sanitized.h"
#include "tool_runner.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <memory>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
        {{"check", "--times", "d"}, "--times applies to tag, retag and import"},
        {{"check", "-b", "64", "d"}, "invalid buffer size '64'"},
        {{"check", "-b", "1025M", "d"}, "'1025M' is out of range"},
        {{"check", "-b", "99999999999999999999K", "d"}, "is out of range"},
        {{"retag", "--new-only", "d"}, "--new-only applies to tag, not to retag"},
        {{"tag", "--new-only", "--parity", "5", "d"}, "--parity applies to tag without --new-only"},
        {{"retag", "--dry-run", "--json", "d"}, "--dry-run with --json applies to repair"},
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
        {{}, {2, "", "quelby-cli: missing command: check, tag, retag, repair, export, import, scrub or status (see quelby-cli --help)\n"}},
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
    // The digest it replaced is said once the line is gone, stop or not (the
    // terminal ends the line with "\r\n").
    const std::string warning = "quelby-cli: 1 stored digest differs and was replaced; check "
                                "first, or use --new-only or --only-edited to keep them as "
                                "evidence\r\n";
    ASSERT_TRUE(err.ends_with(warning)) << err;
    const std::string drawn = err.substr(0, err.size() - warning.size());
    EXPECT_NE(drawn.find("B/s  "), std::string::npos) << drawn;
    EXPECT_TRUE(drawn.ends_with("\r\x1b[K")) << "the line goes with the walk: " << drawn;
    std::istringstream drawings(drawn);
    for (std::string drawing; std::getline(drawings, drawing, '\r');) {
        EXPECT_LE(drawing.size(), 49u + 3u) << "fits the terminal: " << drawing;
    }
}

// A pattern file cannot take the memory, hold the run hostage or cut a pattern short.
TEST(CliProcess, TakesPatternsOnlyFromABoundedRegularFileOrStandardInput)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    tree.file("f/keep.txt", "keep");
    tree.file("f/a.tmp", "tmp");
    const std::string fifo = tree.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string withNul = tree.file("nul", std::string("# first\n*\0.tmp\n", 15));
    const std::string longest = tree.file("longest", std::string((1 << 20) - 6, '#') + "\n*.tmp");
    const std::string tooLong = tree.file("too-long", std::string(1 << 20, '#') + "\n");
    const std::string oneFile = "Checked a total of 1 files in " + f +
                                "\t0 matched digest correctly\n\t0 didn't match their "
                                "digest\n\t1 had no digest.\n";
    const std::vector<std::pair<std::string, Outcome>> cases{
        {"/dev/zero",
         {2, "", "quelby-cli: /dev/zero: not a regular file but a character device\n"}},
        {fifo, {2, "", "quelby-cli: " + fifo + ": not a regular file but a FIFO\n"}},
        {withNul, {2, "", "quelby-cli: " + withNul + ": holds a NUL byte on line 2\n"}},
        {tooLong, {2, "", "quelby-cli: " + tooLong + ": longer than 1 MiB\n"}},
        {longest, {3, oneFile, ""}},
    };
    for (const auto& [patterns, expected] : cases) {
        EXPECT_EQ(runTool({"check", "--exclude-from", patterns, f}), expected) << patterns;
    }

    // Standard input: a pipe or a file, but no device.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_EQ(::write(pipeFds[1], "*.tmp\n", 6), 6);
    ::close(pipeFds[1]);
    EXPECT_EQ(runTool({"check", "--exclude-from", "-", f}, -1, 0, pipeFds[0]),
              (Outcome{3, oneFile, ""}));
    ::close(pipeFds[0]);
    const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(runTool({"check", "--exclude-from", "-", f}, -1, 0, zero),
              (Outcome{2, "",
                       "quelby-cli: standard input: not a regular file, a pipe or a terminal "
                       "but a character device\n"}));
    ::close(zero);

    // A pipe nobody writes to: SIGTERM ends the wait, and the run, with 143.
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[0], STDIN_FILENO);
        ::alarm(30);
        ::execl(QUELBY_CLI_PATH, QUELBY_CLI_PATH, "check", "--exclude-from", "-", f.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Waits until the tool sleeps in its own code, past exec and with its handlers in place.
    const std::string stat = "/proc/" + std::to_string(child) + "/stat";
    for (int tries = 0; tries < 1000; ++tries) {
        const std::string state = test::readWholeFile(stat);
        if (state.find("(quelby-cli) S") != std::string::npos) {
            break;
        }
        ::usleep(10000);
    }
    ::usleep(200000);
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143)
        << "exit " << WEXITSTATUS(status) << ", signal "
        << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Large buffers for many jobs: the reads of one run stay within 256 MiB together. Sparse files
// cost no disk, yet every read fills the whole buffer.
TEST(CliProcess, KeepsTheReadBuffersOfARunWithinTheirCapWhateverJobsAndBufferSize)
{
    if (test::kSanitized) {
        GTEST_SKIP() << "a sanitizer's own memory hides the buffers' share";
    }
    test::TempTree tree;
    for (int i = 0; i < 8; ++i) {
        const std::string file = tree.file("f/" + std::to_string(i) + ".bin");
        ASSERT_EQ(::truncate(file.c_str(), 80 << 20), 0);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::alarm(60);
        ::execl(QUELBY_CLI_PATH, QUELBY_CLI_PATH, "check", "--jobs", "8", "-b", "1024M",
                tree.path("f").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    const long peakMiB = usage.ru_maxrss >> 10;
    EXPECT_LT(peakMiB, 256 + 32) << "eight buffers of 80 MiB would take 640 MiB";
}

// Disk order keeps the folders of its waiting files open, and the walk those
// on its way down: with 64 descriptors allowed, 300 folders side by side and
// a chain of 100 still fit, and every file is read.
TEST(CliProcess, ReadsEveryFileInDiskOrderWithinTheLimitOfOpenFiles)
{
    test::TempTree tree;
    for (int folder = 0; folder < 300; ++folder) {
        for (int file = 0; file < 2; ++file) {
            tree.file("f/" + std::to_string(folder) + "/" + std::to_string(file), "contents");
        }
    }
    std::string chain = "f/chain";
    for (int depth = 0; depth < 100; ++depth) {
        tree.file(chain + "/file", "contents");
        chain += "/d";
    }
    const std::string f = tree.path("f");
    ASSERT_EQ(std::get<0>(runTool({"tag", f})), 0);
    const int out = ::memfd_create("out", MFD_CLOEXEC);
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit few{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &few);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::alarm(60);
        ::execl(QUELBY_CLI_PATH, QUELBY_CLI_PATH, "check", "--order", "disk", "--jobs", "2",
                f.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string report = drained(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << report;
    EXPECT_EQ(report, "Checked a total of 700 files in " + f +
                          "\t700 matched digest correctly\n\t0 didn't match their digest\n"
                          "\t0 had no digest.\n");
}

// The progress line stays off a pipe's terminal unless asked for, and -q always wins.
TEST(RunInProcess, DrawsProgressBesideATerminalFileOrNullAndOnAPipeOnlyWhenAsked)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    int terminal = -1;
    int follower = -1;
    ASSERT_EQ(::openpty(&terminal, &follower, nullptr, nullptr, nullptr), 0);
    const int file = ::memfd_create("report", MFD_CLOEXEC);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int zero = ::open("/dev/zero", O_WRONLY | O_CLOEXEC);
    const std::pair<int, bool> outputs[] = {{pipeFds[1], false}, {follower, true}, {file, true},
                                            {null, true},        {zero, false}};
    for (const auto& [fd, allowed] : outputs) {
        EXPECT_EQ(outputAllowsProgress(fd), allowed) << "descriptor " << fd;
    }
    for (const int fd : {pipeFds[0], pipeFds[1], terminal, follower, file, null, zero}) {
        ::close(fd);
    }

    test::TempTree tree;
    tree.file("a.txt", "alpha");
    tree.file("b.txt", "beta");
    // whether standard output allows it, the options, whether the line is drawn
    const std::tuple<bool, std::vector<std::string>, bool> rows[] = {
        {true, {}, true},
        {false, {}, false},
        {false, {"--progress"}, true},
        {false, {"--progress", "-q"}, false},
        {true, {"-q"}, false},
    };
    for (const auto& [outputAllows, options, drawn] : rows) {
        CliEnvironment environment;
        environment.errorIsTerminal = true;
        environment.outputAllowsProgress = outputAllows;
        // Each look at the clock is a second later, so every chance to draw is taken.
        auto ticks = std::make_shared<int>(0);
        environment.now = [ticks] { return Clock::time_point(std::chrono::seconds(++*ticks)); };
        std::vector<std::string> args{"check", "-v"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(tree.root());
        const auto [status, out, err] = runFromRoot(args, environment);
        EXPECT_EQ(status, 3);
        EXPECT_EQ(err.find("B/s") != std::string::npos, drawn) << err;
    }

    // The walk names the file by its bytes; the line shows it escaped as the
    // report does, and cuts it by the columns the escaped name takes.
    const RunProgress named{2, 10, "/d/new\nline"};
    EXPECT_EQ(progressText(named, 1.0, 80), "2 files  10 B  10 B/s  /d/new\\x0aline");
    EXPECT_EQ(progressText(named, 1.0, 36), "2 files  10 B  10 B/s  ...w\\x0aline");
}

// A reader that goes away (| head -1) ends the run quietly with 141, and every place that lists
// the exit statuses names it.
TEST(CliProcess, AClosedStandardOutputEndsTheRunWith141AsDocumented)
{
    test::TempTree tree;
    tree.file("f/a.txt", "alpha");
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ::close(pipeFds[0]);
    EXPECT_EQ(runTool({"check", "-v", tree.path("f")}, pipeFds[1]), (Outcome{141, "", ""}));
    ::close(pipeFds[1]);

    const auto exitSection = [](const std::string& text, std::string_view start,
                                std::string_view end) {
        const auto from = text.find(start);
        return from == std::string::npos ? std::string()
                                         : text.substr(from, text.find(end, from + 1) - from);
    };
    const std::string source = QUELBY_SOURCE_DIR;
    EXPECT_NE(exitSection(helpText(), "Exit status:", "\n\n").find("\n  141  "),
              std::string::npos);
    EXPECT_NE(exitSection(test::readWholeFile(source + "/docs/man/quelby-cli.1"),
                          ".SH EXIT STATUS", ".SH ")
                  .find("\n.B 141\n"),
              std::string::npos);
    EXPECT_NE(exitSection(test::readWholeFile(source + "/README.md"), "| Status |", "\n\n")
                  .find("\n| 141 |"),
              std::string::npos);
}

} // namespace
} // namespace quelby::cli
