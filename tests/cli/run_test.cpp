#include "cli/cli.h"
#include "cli/options.h"
#include "engine/tag_store.h"
#include "support/temp_tree.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace quelby::cli {
namespace {

using test::TempTree;

struct Outcome
{
    int status = -1;
    std::string out;
    std::string err;
};

Outcome runInProcess(const std::vector<std::string>& args, const CliEnvironment& environment = {})
{
    std::ostringstream out;
    std::ostringstream err;
    Outcome outcome;
    outcome.status = run(args, out, err, environment);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

class NoticeCollector : public RunObserver
{
public:
    void notice(std::string_view text) override { notices += text; }
    std::string notices;
};

// The engine's own report for the same run: what standard output must hold.
std::string engineReport(Operation operation, const std::string& folder, bool verbose,
                         std::int64_t setBufferSize = 1, std::int64_t realBufferSize = 1048576)
{
    RunOptions options;
    options.operation = operation;
    options.folder = folder;
    options.verbose = verbose;
    options.backEnd = platformDigestBackEnd();
    options.setBufferSize = setBufferSize;
    options.realBufferSize = realBufferSize;
    NoticeCollector collector;
    const RunState state = walkFolder(options, collector);
    return collector.notices + finishedRunText(options, state) + "\n";
}

// A folder of a few files in two levels; "b.txt" carries no digest until tagged.
void fillTree(TempTree& tree)
{
    tree.file("a.txt", "first");
    tree.file("b.txt", "second");
    tree.file("sub/c.txt", std::string(5000, 'c'));
    tree.file("sub/.hidden", "");
}

TEST(RunInProcess, PrintsTheEnginesReportForEachCommandAndBufferSize)
{
    TempTree tree;
    fillTree(tree);
    struct Case
    {
        std::vector<std::string> args;
        Operation operation;
        bool verbose;
        std::int64_t setBufferSize, realBufferSize;
        int status;
    };
    const std::vector<Case> cases{
        {{"check", tree.root()}, Operation::check, false, 1, 1048576, 0},
        {{"check", "-v", tree.root()}, Operation::check, true, 1, 1048576, 0},
        {{"tag", "-v", "-b", "4K", tree.root()}, Operation::tag, true, 4, 4096, 0},
        {{"tag", tree.root()}, Operation::tag, false, 1, 1048576, 0},
        {{"check", "-v", "--buffer=2m", tree.root()}, Operation::check, true, 2, 2097152, 0},
        {{"retag", "-v", tree.root()}, Operation::retag, true, 1, 1048576, 0},
        {{"retag", tree.root()}, Operation::retag, false, 1, 1048576, 0},
    };
    for (const Case& c : cases) {
        const Outcome outcome = runInProcess(c.args);
        EXPECT_EQ(outcome.status, c.status) << c.args.front();
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, engineReport(c.operation, tree.root(), c.verbose, c.setBufferSize,
                                            c.realBufferSize))
            << c.args.front() << " " << c.args[1];
    }
    const Outcome tagged = runInProcess({"check", tree.root()});
    EXPECT_TRUE(
        tagged.out.starts_with("Checked a total of 4 files in " + tree.root() + "\t4 matched"))
        << tagged.out;
    EXPECT_TRUE(tagged.out.ends_with(" had no digest.\n")) << tagged.out;
}

TEST(RunInProcess, ExitsWithOneOnlyWhenTheReportHoldsAFailure)
{
    TempTree tree;
    fillTree(tree);
    EXPECT_EQ(runInProcess({"check", tree.root()}).status, 0) << "untagged files are no failure";
    ASSERT_EQ(runInProcess({"tag", tree.root()}).status, 0);
    test::writeWholeFile(tree.path("sub/c.txt"), "changed");

    const Outcome changed = runInProcess({"check", tree.root()});
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out, engineReport(Operation::check, tree.root(), false));
    EXPECT_NE(changed.out.find(tree.path("sub/c.txt")), std::string::npos) << changed.out;
}

TEST(RunInProcess, StampsTimesOnlyWhenAsked)
{
    TempTree tree;
    fillTree(tree);
    ASSERT_EQ(runInProcess({"tag", tree.root()}).status, 0);
    EXPECT_FALSE(test::storedAttribute(tree.path("a.txt"), kTimeAttributeName));
    ASSERT_EQ(runInProcess({"tag", "--times", tree.root()}).status, 0);
    for (const char* name : {"a.txt", "b.txt", "sub/c.txt", "sub/.hidden"}) {
        const auto stamp = test::storedAttribute(tree.path(name), kTimeAttributeName);
        ASSERT_TRUE(stamp) << name;
        EXPECT_EQ(stamp->size(), 20u) << *stamp;
    }
}

TEST(RunInProcess, TakesARelativeFolderFromTheWorkingFolder)
{
    TempTree tree;
    fillTree(tree);
    CliEnvironment environment;
    environment.workingFolder = tree.root();
    const std::string rootName = tree.root().substr(tree.root().rfind('/') + 1);
    for (const std::string& folder : {std::string("sub"), std::string("./sub/"),
                                      std::string("sub//."), "../" + rootName + "/sub"}) {
        const Outcome outcome = runInProcess({"check", folder}, environment);
        EXPECT_EQ(outcome.status, 0) << folder << outcome.err;
        EXPECT_EQ(outcome.out,
                  engineReport(Operation::check, normalisedFolder(folder, tree.root()), false))
            << folder;
    }
    EXPECT_TRUE(runInProcess({"check", "./sub/"}, environment)
                    .out.starts_with("Checked a total of 2 files in " + tree.root() + "/sub\t"));
}

TEST(RunInProcess, RefusesAFolderThatIsMissingOrNoFolderBeforeWalking)
{
    TempTree tree;
    const std::string file = tree.file("plain.txt", "x");
    struct Case
    {
        std::string folder;
        std::string err;
    };
    const std::vector<Case> cases{
        {tree.path("missing"),
         "quelby-cli: " + tree.path("missing") + ": No such file or directory\n"},
        {file, "quelby-cli: " + file + ": Not a directory\n"},
        {"", "quelby-cli: : No such file or directory\n"},
        {tree.path("plain.txt/inner"),
         "quelby-cli: " + tree.path("plain.txt/inner") + ": Not a directory\n"},
        {tree.path("new\nline"),
         "quelby-cli: " + tree.path("new\\x0aline") + ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = runInProcess({"tag", c.folder});
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, c.err);
    }
    EXPECT_FALSE(test::storedAttribute(file, kDigestAttributeName)) << "nothing was tagged";
}

TEST(RunInProcess, AnswersHelpVersionAndUsageErrorsOnTheRightStream)
{
    const Outcome help = runInProcess({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, helpText());
    EXPECT_EQ(help.err, "");

    const Outcome version = runInProcess({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quelby-cli ") + QUELBY_VERSION + "\n");

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"check"}, {"check", "--times", "."}, {"tag", "-b", "64", "."}, {"scan", "."}}) {
        const Outcome usage = runInProcess(args);
        EXPECT_EQ(usage.status, 2);
        EXPECT_EQ(usage.out, "");
        EXPECT_TRUE(usage.err.starts_with("quelby-cli: ")) << usage.err;
        EXPECT_TRUE(usage.err.ends_with("(see quelby-cli --help)\n")) << usage.err;
        EXPECT_EQ(std::count(usage.err.begin(), usage.err.end(), '\n'), 1) << usage.err;
    }
}

TEST(RunInProcess, AnInterruptedRunPrintsNoReportAndExitsWithTheSignal)
{
    TempTree tree;
    fillTree(tree);
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        CliEnvironment environment;
        environment.stopSignal = [signal = signal] { return signal; };
        const Outcome outcome = runInProcess({"tag", "-v", tree.root()}, environment);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.out, "");
    }
    EXPECT_FALSE(test::storedAttribute(tree.path("a.txt"), kDigestAttributeName));
}

TEST(RunInProcess, DrawsProgressOnlyOnATerminalAndNeverInTheReport)
{
    TempTree tree;
    fillTree(tree);
    ASSERT_EQ(runInProcess({"tag", tree.root()}).status, 0);
    const std::string report = engineReport(Operation::check, tree.root(), true);
    for (const bool terminal : {true, false}) {
        for (const bool quiet : {true, false}) {
            CliEnvironment environment;
            environment.errorIsTerminal = terminal;
            environment.terminalWidth = [] { return 30; };
            auto ticks = std::make_shared<int>(0);
            environment.now = [ticks] {
                return Clock::time_point{} + std::chrono::seconds(++*ticks);
            };
            std::vector<std::string> args{"check", "-v", tree.root()};
            if (quiet) {
                args.insert(args.begin() + 1, "-q");
            }
            const Outcome outcome = runInProcess(args, environment);
            EXPECT_EQ(outcome.out, report);
            if (!terminal || quiet) {
                EXPECT_EQ(outcome.err, "");
                continue;
            }
            EXPECT_NE(outcome.err.find(" files  "), std::string::npos) << outcome.err;
            EXPECT_TRUE(outcome.err.ends_with("\r\x1b[K")) << "erased before the report";
            std::istringstream drawings(outcome.err);
            for (std::string drawing; std::getline(drawings, drawing, '\r');) {
                EXPECT_LE(drawing.size(), 29u + 3u) << drawing;
                EXPECT_EQ(drawing.find('\n'), std::string::npos);
            }
        }
    }
}

TEST(RunInProcess, ShowsTagNoticesAsTheyComeAndFailsWithOne)
{
    TempTree tree;
    fillTree(tree);
    if (!test::setImmutable(tree.path("b.txt"), true)) {
        GTEST_SKIP() << "chattr +i is not possible here";
    }
    CliEnvironment environment;
    environment.errorIsTerminal = true;
    environment.now = [ticks = std::make_shared<int>(0)] {
        return Clock::time_point{} + std::chrono::seconds(++*ticks);
    };
    const Outcome outcome = runInProcess({"tag", tree.root()}, environment);
    const std::string expected = engineReport(Operation::tag, tree.root(), false);
    test::setImmutable(tree.path("b.txt"), false);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, expected);
    EXPECT_TRUE(outcome.out.starts_with("\xe2\x9d\x8c Couldn't tag " + tree.path("b.txt")))
        << outcome.out;
    EXPECT_FALSE(test::storedAttribute(tree.path("b.txt"), kDigestAttributeName));
}

TEST(RunInProcess, AFailedWriteOfTheReportIsAFailure)
{
    TempTree tree;
    fillTree(tree);
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    std::ostringstream err;
    const std::vector<std::string> args{"check", tree.root()};
    EXPECT_EQ(run(args, out, err, CliEnvironment{}), 1);
    EXPECT_EQ(err.str(), "quelby-cli: cannot write the report to standard output\n");
}

} // namespace
} // namespace quelby::cli
