#include "engine/transfer/sums_list.h"
#include "engine/sum_tools.h"

#include <gtest/gtest.h>
#include <map>

namespace quelby {
namespace {

using Listing = std::map<std::string, Bytes>;

// Every entry of a tool's output, read line by line; a line that fails fails the test.
Listing listedIn(const std::string& output)
{
    Listing listing;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        const auto line = output.substr(start, end - start);
        const auto parsed = parseSumsLine(line);
        if (!parsed || !*parsed) {
            ADD_FAILURE() << "unread line " << line << ": " << (parsed ? "none" : parsed.error());
            continue;
        }
        listing[(*parsed)->path] = (*parsed)->digest;
    }
    EXPECT_EQ(start, output.size()) << "output does not end with a line feed";
    return listing;
}

TEST(SumsList, ReadsWhatSha256sumAndRhashWriteOfEveryOddName)
{
    test::TempTree tree;
    test::writeOddFiles(tree);
    Listing all;
    Listing plain;
    std::vector<std::string> allNames;
    std::vector<std::string> plainNames;
    for (const auto& name : test::oddNames()) {
        all[name] = test::sha256Of(name);
        allNames.push_back(name);
        if (test::plainName(name)) {
            plain[name] = test::sha256Of(name);
            plainNames.push_back(name);
        }
    }
    const struct
    {
        std::vector<std::string> command;
        const std::vector<std::string>& names;
        const Listing& expected;
    } tools[] = {
        {{"sha256sum", "--"}, allNames, all},
        {{"sha256sum", "-b", "--"}, allNames, all},
        {{"sha256sum", "--tag", "--"}, allNames, all},
        // rhash writes every name as it is, so a line feed would split its line.
        {{"rhash", "--sha256", "--"}, plainNames, plain},
        {{"rhash", "--sha256", "--bsd", "--"}, plainNames, plain},
    };
    for (const auto& tool : tools) {
        SCOPED_TRACE(tool.command[0] + " " + tool.command[1]);
        auto args = tool.command;
        args.insert(args.end(), tool.names.begin(), tool.names.end());
        const auto made = test::runIn(tree.root(), args);
        ASSERT_EQ(made.status, 0) << made.output;
        EXPECT_EQ(listedIn(made.output), tool.expected);
    }
}

TEST(SumsList, ReadsEachFormOnceAndSaysWhyALineIsNot)
{
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    const char half[] = "\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff";
    const std::string digest = std::string(half, 16) + std::string(half, 16);
    const std::string notHex = "the digest is not 64 hex digits";
    const std::string notSha = "not a SHA-256 line";
    const struct
    {
        std::string line;
        std::string pathOrReason; // a path when listed, a reason when refused
        bool listed;
    } cases[] = {
        {hex + "  a b\r", "a b", true},
        {hex + " *a b", "a b", true},
        {hex + "  *a", "*a", true},
        {"\\" + hex + "  a\\\\b\\nc\\r", "a\\b\nc\r", true},
        {"SHA256 (x) = y) = " + hex, "x) = y", true},
        {"\\SHA256 (a\\\\b) = " + hex + "\r", "a\\b", true},
        {hex.substr(2) + "  short", notHex, false},
        {hex + "00  long", notHex, false},
        {"z" + hex.substr(1) + " *bad", notHex, false},
        {"SHA256 (x) = " + hex.substr(1), notHex, false},
        {"SHA256 (x) =" + hex, notSha, false},
        {"MD5 (x) = 0123456789abcdef0123456789abcdef", notSha, false},
        {hex + " one space", notSha, false},
        {hex, notSha, false},
        {"just words", notSha, false},
        {hex + "  ", "the line names no file", false},
        {"SHA256 () = " + hex, "the line names no file", false},
        {"\\" + hex + "  a\\x", "the name holds a backslash other than \\\\, \\n or \\r", false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        const auto parsed = parseSumsLine(entry.line);
        if (entry.listed) {
            ASSERT_TRUE(parsed && *parsed) << (parsed ? "none" : parsed.error());
            EXPECT_EQ(**parsed, (ListedDigest{entry.pathOrReason, digest}));
        } else {
            EXPECT_EQ(parsed, std::unexpected(entry.pathOrReason));
        }
    }
    for (const std::string& line : {std::string(), std::string("\r"), std::string(" \t "),
                                    std::string("#"), "# " + hex + "  commented"}) {
        const auto parsed = parseSumsLine(line);
        EXPECT_TRUE(parsed && !*parsed) << line;
    }
}

} // namespace
} // namespace quelby
