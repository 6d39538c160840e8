#include "cli/options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace quelby::cli {
namespace {

// What the command line came to, in one line: "tag FOLDER vtq SET=BYTES", "help",
// "version" or "usage: MESSAGE".
std::string parsed(const std::vector<std::string>& args)
{
    const CommandLine line = validatedCommandLine(rawArguments(args));
    if (const auto* usage = std::get_if<UsageError>(&line)) {
        return "usage: " + usage->message;
    }
    if (const auto* o = std::get_if<CliOptions>(&line)) {
        const char* const operations[] = {"check", "tag", "retag"};
        return operations[static_cast<int>(o->operation)] + (" " + o->folder + " ") +
               (o->verbose ? "v" : "") + (o->timeStamps ? "t" : "") + (o->quiet ? "q" : "") + " " +
               std::to_string(o->buffer.setBufferSize) + "=" +
               std::to_string(o->buffer.realBufferSize);
    }
    return std::holds_alternative<ShowHelp>(line) ? "help" : "version";
}

TEST(Options, TakesEveryAcceptedSpelling)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"check", "photos"}, "check photos  1=1048576"},
        {{"tag", "-v", "-t", "-q", "d"}, "tag d vtq 1=1048576"},
        {{"retag", "--verbose", "--times", "--quiet", "d"}, "retag d vtq 1=1048576"},
        {{"-vt", "tag", "d"}, "tag d vt 1=1048576"},
        {{"check", "-b", "64K", "d"}, "check d  64=65536"},
        {{"check", "-b4m", "d"}, "check d  4=4194304"},
        {{"check", "-vb", "2048k", "d"}, "check d v 2048=2097152"},
        {{"check", "--buffer=1K", "d"}, "check d  1=1024"},
        {{"check", "d", "--buffer", "1024M"}, "check d  1024=1073741824"},
        {{"check", "--", "-v"}, "check -v  1=1048576"},
        {{"check", "-"}, "check -  1=1048576"},
        {{"check", "caf\xc3\xa9\xff/x"}, "check caf\xc3\xa9\xff/x  1=1048576"},
        {{"check", "--", "--help"}, "check --help  1=1048576"},
        // Help and version win over everything else on the line.
        {{"--help"}, "help"},
        {{"check", "--bogus", "-h"}, "help"},
        {{"--version"}, "version"},
        {{"tag", "-b", "0K", "--version"}, "version"},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(parsed(args), expected);
    }
}

TEST(Options, RefusesWhatCannotRunWithAOneLineReason)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "missing command"},
        {{"verify", "d"}, "unknown command 'verify'"},
        {{"check"}, "missing FOLDER"},
        {{"check", "a", "b"}, "unexpected argument 'b'"},
        {{"check", "--bogus", "d"}, "unknown option '--bogus'"},
        {{"check", "-x", "d"}, "unknown option '-x'"},
        {{"check", "--verbose=yes", "d"}, "'--verbose' takes no value"},
        {{"check", "d", "--buffer"}, "'--buffer' needs a value"},
        {{"check", "--times", "d"}, "--times applies to tag and retag"},
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
    for (const auto& [args, reason] : cases) {
        const std::string got = parsed(args);
        EXPECT_TRUE(got.starts_with("usage: ") && got.find(reason) != std::string::npos) << got;
        EXPECT_EQ(got.find('\n'), std::string::npos) << got;
    }
}

} // namespace
} // namespace quelby::cli
