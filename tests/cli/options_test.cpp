#include "cli/options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace quelby::cli {
namespace {

CommandLine commandLine(const std::vector<std::string>& args)
{
    return validatedCommandLine(rawArguments(args));
}

TEST(Options, TakesEveryAcceptedSpelling)
{
    struct Case
    {
        std::vector<std::string> args;
        Operation operation;
        std::string folder;
        bool verbose, timeStamps, quiet;
        std::int64_t setBufferSize, realBufferSize;
    };
    const std::vector<Case> cases{
        {{"check", "photos"}, Operation::check, "photos", false, false, false, 1, 1048576},
        {{"tag", "-v", "-t", "-q", "d"}, Operation::tag, "d", true, true, true, 1, 1048576},
        {{"retag", "--verbose", "--times", "--quiet", "d"},
         Operation::retag,
         "d",
         true,
         true,
         true,
         1,
         1048576},
        {{"-vt", "tag", "d"}, Operation::tag, "d", true, true, false, 1, 1048576},
        {{"check", "-b", "64K", "d"}, Operation::check, "d", false, false, false, 64, 65536},
        {{"check", "-b4m", "d"}, Operation::check, "d", false, false, false, 4, 4194304},
        {{"check", "-vb", "2048k", "d"}, Operation::check, "d", true, false, false, 2048, 2097152},
        {{"check", "--buffer=1K", "d"}, Operation::check, "d", false, false, false, 1, 1024},
        {{"check", "d", "--buffer", "1024M"},
         Operation::check,
         "d",
         false,
         false,
         false,
         1024,
         1073741824},
        {{"check", "--", "-v"}, Operation::check, "-v", false, false, false, 1, 1048576},
        {{"check", "-"}, Operation::check, "-", false, false, false, 1, 1048576},
        {{"check", "caf\xc3\xa9\xff/x"},
         Operation::check,
         "caf\xc3\xa9\xff/x",
         false,
         false,
         false,
         1,
         1048576},
    };
    for (const Case& c : cases) {
        const CommandLine parsed = commandLine(c.args);
        const auto* options = std::get_if<CliOptions>(&parsed);
        ASSERT_NE(options, nullptr) << c.args.front() << " " << c.args.back();
        EXPECT_EQ(options->operation, c.operation);
        EXPECT_EQ(options->folder, c.folder);
        EXPECT_EQ(options->verbose, c.verbose);
        EXPECT_EQ(options->timeStamps, c.timeStamps);
        EXPECT_EQ(options->quiet, c.quiet);
        EXPECT_EQ(options->buffer.setBufferSize, c.setBufferSize) << c.args[1];
        EXPECT_EQ(options->buffer.realBufferSize, c.realBufferSize) << c.args[1];
    }
}

TEST(Options, RefusesWhatCannotRunWithAReason)
{
    struct Case
    {
        std::vector<std::string> args;
        std::string reasonPart;
    };
    const std::vector<Case> cases{
        {{}, "missing command"},
        {{"verify", "d"}, "unknown command 'verify'"},
        {{"check"}, "missing FOLDER"},
        {{"check", "a", "b"}, "unexpected argument 'b'"},
        {{"check", "--bogus", "d"}, "unknown option '--bogus'"},
        {{"check", "-x", "d"}, "unknown option '-x'"},
        {{"check", "--verbose=yes", "d"}, "'--verbose' takes no value"},
        {{"check", "d", "--buffer"}, "'--buffer' needs a value"},
        {{"check", "--times", "d"}, "--times applies to tag and retag"},
        {{"check", "-t", "d"}, "--times applies to tag and retag"},
        {{"check", "-b", "64", "d"}, "invalid buffer size '64'"},
        {{"check", "-b", "K", "d"}, "invalid buffer size 'K'"},
        {{"check", "-b", "64KB", "d"}, "invalid buffer size '64KB'"},
        {{"check", "-b", "1.5M", "d"}, "invalid buffer size '1.5M'"},
        {{"check", "-b", "-1K", "d"}, "invalid buffer size '-1K'"},
        {{"check", "-b", " 4M", "d"}, "invalid buffer size ' 4M'"},
        {{"check", "-b", "", "d"}, "invalid buffer size ''"},
        {{"check", "-b", "0K", "d"}, "'0K' is out of range"},
        {{"check", "-b", "1025M", "d"}, "'1025M' is out of range"},
        {{"check", "-b", "1048577K", "d"}, "'1048577K' is out of range"},
        {{"check", "-b", "99999999999999999999K", "d"}, "is out of range"},
        {{"check", "-b", "9223372036854775807M", "d"}, "is out of range"},
        {{"check", "--bogus\x1b[2J", "d"}, "unknown option '--bogus\\x1b[2J'"},
    };
    for (const Case& c : cases) {
        const CommandLine parsed = commandLine(c.args);
        const auto* usage = std::get_if<UsageError>(&parsed);
        ASSERT_NE(usage, nullptr) << c.reasonPart;
        EXPECT_NE(usage->message.find(c.reasonPart), std::string::npos) << usage->message;
        EXPECT_EQ(usage->message.find('\n'), std::string::npos) << usage->message;
    }
}

TEST(Options, HelpAndVersionWinOverEverythingElse)
{
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(commandLine({"--help"})));
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(commandLine({"check", "--bogus", "-h"})));
    EXPECT_TRUE(std::holds_alternative<ShowVersion>(commandLine({"--version"})));
    EXPECT_TRUE(std::holds_alternative<ShowVersion>(commandLine({"tag", "-b", "0K", "--version"})));
    EXPECT_TRUE(std::holds_alternative<CliOptions>(commandLine({"check", "--", "--help"})));
}

} // namespace
} // namespace quelby::cli
