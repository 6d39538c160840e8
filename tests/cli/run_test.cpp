#include "cli/cli.h"
#include "cli/options.h"
#include "engine/run_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace quelby::cli {
namespace {

// The exit status (minus the signal that killed the process), standard output, standard error.
using Outcome = std::tuple<int, std::string, std::string>;

Outcome runInProcess(const std::vector<std::string>& args, const CliEnvironment& environment = {})
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = run(args, out, err, environment);
    return {status, out.str(), err.str()};
}

// A clock that moves on a second at every look, so every update redraws.
CliEnvironment terminalEnvironment()
{
    CliEnvironment environment;
    environment.errorIsTerminal = true;
    environment.now = [ticks = std::make_shared<int>(0)] {
        return Clock::time_point{} + std::chrono::seconds(++*ticks);
    };
    return environment;
}

// Everything the descriptor got, from its start; closes it.
std::string drained(int fd)
{
    std::string text;
    char chunk[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got = 0; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

// Runs the built tool as a shell would, outFd (if given) its standard output. A stop signal
// goes once the walk is under way: once the terminal shows something, or half a second in.
Outcome runTool(std::vector<std::string> args, int outFd = -1, int stopSignal = 0,
                bool onTerminal = false)
{
    const int out = ::memfd_create("out", MFD_CLOEXEC);
    int err = -1;
    int terminal = -1;
    if (onTerminal) {
        const winsize narrow{24, 50, 0, 0};
        ::openpty(&terminal, &err, nullptr, nullptr, &narrow);
        ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
    } else {
        err = ::memfd_create("err", MFD_CLOEXEC);
    }
    args.insert(args.begin(), QUELBY_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& word : args) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(outFd >= 0 ? outFd : out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (onTerminal) {
        ::close(err); // the terminal keeps what it got and reads as EIO once the tool is gone
        err = terminal;
    }
    if (stopSignal != 0) {
        pollfd shown{terminal, POLLIN, 0}; // without a terminal, only a wait
        ::poll(&shown, 1, onTerminal ? 30000 : 500);
        ::kill(child, stopSignal);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), drained(out),
            drained(err)};
}

void fillTree(test::TempTree& tree)
{
    tree.file("a.txt", "first");
    tree.file("b.txt", "second");
    tree.file("sub/c.txt", std::string(5000, 'c'));
    tree.file("sub/.hidden", "");
}

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
    fillTree(tree);
    const std::string root = tree.root();
    CliEnvironment environment;
    environment.workingFolder = root;
    const struct
    {
        std::vector<std::string> args;
        RunOptions expected;
        bool stamped; // whether the files carry time stamps afterwards
    } cases[] = {
        {{"check", root}, cliOptions(Operation::check, root), false},
        {{"check", "-v", root}, cliOptions(Operation::check, root, true), false},
        {{"tag", "-v", "-b", "4K", root}, cliOptions(Operation::tag, root, true, 4, 4096), false},
        {{"check", "-vb2m", "."}, cliOptions(Operation::check, root, true, 2, 2097152), false},
        {{"tag", "--times", root}, cliOptions(Operation::tag, root), true},
        {{"retag", "-v", root}, cliOptions(Operation::retag, root, true), true},
        {{"retag", "./sub/"}, cliOptions(Operation::retag, root + "/sub"), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runInProcess(c.args, environment),
                  (Outcome{0, test::runReport(c.expected) + "\n", ""}));
        const auto stamp = test::storedAttribute(tree.path("sub/.hidden"), kTimeAttributeName);
        EXPECT_EQ(stamp.value_or("").size(), c.stamped ? 20u : 0u) << c.args.front();
    }
}

TEST(RunInProcess, DrawsProgressOnlyOnATerminalAndNeverInTheReport)
{
    test::TempTree tree;
    fillTree(tree);
    const std::string report =
        test::runReport(cliOptions(Operation::check, tree.root(), true)) + "\n";
    for (const auto& [terminal, flags] : {std::pair{false, "-v"}, {true, "-vq"}, {true, "-v"}}) {
        CliEnvironment environment = terminalEnvironment();
        environment.errorIsTerminal = terminal;
        environment.terminalWidth = [] { return 30; };
        const auto [status, out, err] = runInProcess({"check", flags, tree.root()}, environment);
        EXPECT_EQ(out, report);
        if (!terminal || flags == std::string("-vq")) {
            EXPECT_EQ(err, "");
            continue;
        }
        EXPECT_NE(err.find(" files  "), std::string::npos) << err;
        EXPECT_TRUE(err.ends_with("\r\x1b[K")) << "erased before the report";
        std::istringstream drawings(err);
        for (std::string drawing; std::getline(drawings, drawing, '\r');) {
            EXPECT_LE(drawing.size(), 29u + 3u) << drawing;
            EXPECT_EQ(drawing.find('\n'), std::string::npos);
        }
    }
}

TEST(RunInProcess, ShowsTagNoticesAsTheyComeClearOfTheProgressLineAndFailsWithOne)
{
    test::TempTree tree;
    fillTree(tree);
    if (!test::setImmutable(tree.path("b.txt"), true)) {
        GTEST_SKIP() << "chattr +i is not possible here";
    }
    EXPECT_EQ(runInProcess({"tag", tree.root()}),
              (Outcome{1, test::runReport(cliOptions(Operation::tag, tree.root())) + "\n", ""}));
    // Report and progress on one terminal: the line goes before a notice and comes back after.
    std::ostringstream terminal;
    run(std::vector<std::string>{"tag", tree.root()}, terminal, terminal, terminalEnvironment());
    test::setImmutable(tree.path("b.txt"), false);
    const std::string both = terminal.str();
    const std::size_t at = both.find("\r\x1b[K\xe2\x9d\x8c Couldn't tag " + tree.path("b.txt"));
    ASSERT_NE(at, std::string::npos) << both;
    EXPECT_EQ(both.substr(both.find('\n', at), 3), "\n\r1") << both;
    EXPECT_FALSE(test::storedAttribute(tree.path("b.txt"), kDigestAttributeName));
}

TEST(CliProcess, PrintsOnlyTheReportAndExitsWithZeroOneOrTwo)
{
    test::TempTree tree;
    fillTree(tree);
    const std::string root = tree.root();
    EXPECT_EQ(runTool({"tag", root}),
              (Outcome{0, "Tagged a total of 4 files in " + root + " with 0 errors.\n", ""}));
    test::writeWholeFile(tree.path("sub/c.txt"), "changed");
    EXPECT_EQ(runTool({"check", root}),
              (Outcome{1, test::runReport(cliOptions(Operation::check, root)) + "\n", ""}));
    const std::string file = tree.path("a.txt");
    const std::string missing = tree.path("missing");
    const std::vector<std::pair<std::vector<std::string>, Outcome>> cases{
        {{"tag", missing}, {2, "", "quelby-cli: " + missing + ": No such file or directory\n"}},
        {{"tag", file}, {2, "", "quelby-cli: " + file + ": Not a directory\n"}},
        {{"tag", ""}, {2, "", "quelby-cli: : No such file or directory\n"}},
        {{"tag", root + "/new\nline"},
         {2, "", "quelby-cli: " + root + "/new\\x0aline: No such file or directory\n"}},
        {{}, {2, "", "quelby-cli: missing command: check, tag or retag (see quelby-cli --help)\n"}},
        {{"check"}, {2, "", "quelby-cli: missing FOLDER after 'check' (see quelby-cli --help)\n"}},
        {{"--help"}, {0, helpText(), ""}},
        {{"--version"}, {0, std::string("quelby-cli ") + QUELBY_VERSION + "\n", ""}},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(runTool(args), expected);
    }
}

TEST(CliProcess, EndsQuietlyOnAClosedPipeAndFailsOnAFullDisk)
{
    test::TempTree tree;
    fillTree(tree);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    EXPECT_EQ(runTool({"tag", "-v", tree.root()}, ends[1]), (Outcome{128 + SIGPIPE, "", ""}));
    ::close(ends[1]);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    EXPECT_EQ(runTool({"check", tree.root()}, full),
              (Outcome{1, "",
                       "quelby-cli: cannot write the report to standard output: No space left on "
                       "device\n"}));
    ::close(full);
}

TEST(CliProcess, StopsOnSigintOrSigtermInsideAHugeFileWithNoReport)
{
    for (const auto& [signal, onTerminal, exitStatus] :
         {std::tuple{SIGTERM, true, 143}, std::tuple{SIGINT, false, 130}}) {
        test::TempTree tree;
        tree.file("a.txt", "alpha");
        // 20 GiB that take no room: read 1 KiB at a time, they outlast the test.
        const std::string huge = tree.file("huge/sparse.bin");
        if (::truncate(huge.c_str(), 20LL << 30) != 0) {
            GTEST_SKIP() << "this file system has no room for a sparse 20 GiB file";
        }
        const auto [status, out, err] =
            runTool({"tag", "-b", "1K", tree.root()}, -1, signal, onTerminal);
        EXPECT_EQ(status, exitStatus);
        EXPECT_EQ(out, "");
        if (onTerminal) {
            EXPECT_NE(err.find("B/s  "), std::string::npos) << err;
            EXPECT_NE(err.find("sparse.bin"), std::string::npos) << err;
            EXPECT_TRUE(err.ends_with("\r\x1b[K")) << "the line goes with the walk: " << err;
            std::istringstream drawings(err);
            for (std::string drawing; std::getline(drawings, drawing, '\r');) {
                EXPECT_LE(drawing.size(), 49u + 3u) << "fits the terminal: " << drawing;
            }
        } else {
            EXPECT_EQ(err, "") << "no progress line off a terminal";
        }
        EXPECT_FALSE(test::storedAttribute(huge, kDigestAttributeName)) << "stopped mid-way";
    }
}

} // namespace
} // namespace quelby::cli
