#include "engine/evidence/manifest_format.h"
#include "engine/sum_tools.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace quelby {
namespace {

using Kind = ManifestLineKind;

const std::string kStamp = "2024-03-09T17_05_42Z";

std::string withoutLineFeed(const std::optional<std::string>& line)
{
    EXPECT_TRUE(line && line->ends_with('\n'));
    return line ? line->substr(0, line->size() - 1) : std::string();
}

TEST(ManifestFormat, EveryOddNameComesBackFromItsDigestAndStampLines)
{
    for (const auto& name : test::oddNames()) {
        SCOPED_TRACE(name);
        const auto digest = test::sha256Of(name);
        const auto digestLine = withoutLineFeed(manifestDigestLine(name, digest));
        const auto stampLine = withoutLineFeed(manifestStampLine(name, kStamp));
        EXPECT_EQ(digestLine.find('\n'), std::string::npos);
        EXPECT_EQ(stampLine.find('\r'), std::string::npos);

        EXPECT_EQ(parseManifestLine(digestLine),
                  (ManifestLine{Kind::digest, name, digest, digestLine}));
        EXPECT_EQ(parseManifestLine(stampLine),
                  (ManifestLine{Kind::stamp, name, kStamp, stampLine}));
        // As an editor on another system may leave it: CRLF, uppercase hex.
        std::string edited = digestLine + "\r";
        std::transform(edited.begin(), edited.begin() + 65, edited.begin(), ::toupper);
        EXPECT_EQ(parseManifestLine(edited), (ManifestLine{Kind::digest, name, digest, edited}));
    }
}

TEST(ManifestFormat, WritesDigestLinesByteForByteAsSha256sumAndSha256sumVerifiesTheManifest)
{
    test::TempTree tree;
    test::writeOddFiles(tree);
    std::vector<std::string> names = test::oddNames();
    std::sort(names.begin(), names.end(), walkOrderLess);
    std::string manifest = std::string(kManifestHeader) + "\n";
    std::vector<std::string> args = {"sha256sum", "--"};
    for (const auto& name : names) {
        manifest += *manifestDigestLine(name, test::sha256Of(name));
        manifest += *manifestStampLine(name, kStamp);
        args.push_back(name);
    }
    const auto made = test::runIn(tree.root(), args);
    ASSERT_EQ(made.status, 0) << made.output;
    std::string expected;
    for (const auto& name : names) {
        expected += *manifestDigestLine(name, test::sha256Of(name));
    }
    EXPECT_EQ(made.output, expected);

    test::writeWholeFile(tree.path(kManifestFileName), manifest);
    const auto verified =
        test::runIn(tree.root(), {"sha256sum", "-c", "--strict", "--quiet", ".quelby.sha256"});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.output, "");

    // The check is real: one changed file fails it.
    test::writeWholeFile(tree.path("plain.jpg"), "changed");
    EXPECT_NE(test::runIn(tree.root(), {"sha256sum", "-c", "--strict", "--quiet",
                                        ".quelby.sha256"}).status, 0);
}

TEST(ManifestFormat, SortsEachLineIntoItsKindAndKeepsItsBytes)
{
    const std::string hex(64, 'a');
    const std::string digest(32, '\xaa');
    const struct
    {
        std::string text;
        Kind kind;
        std::string path;
        std::optional<Bytes> value;
    } cases[] = {
        {"# Quelby manifest 1", Kind::header, "", std::nullopt},
        {"# Quelby manifest 1\r", Kind::header, "", std::nullopt},
        {"# Quelby manifest 2", Kind::comment, "", std::nullopt},
        {"#damaged 2024-03-09T17_05_42Z  a", Kind::damaged, "a", "2024-03-09T17_05_42Z"},
        {"#", Kind::comment, "", std::nullopt},
        {"", Kind::blank, "", std::nullopt},
        {"\r", Kind::blank, "", std::nullopt},
        {hex + "  a  b ", Kind::digest, "a  b ", digest},
        {hex + " *bin", Kind::digest, "bin", digest},
        {hex + "  a\\b", Kind::digest, "a\\b", digest},
        {"\\" + hex + "  a\\\\b", Kind::digest, "a\\b", digest},
        // Malformed: the path is found, the digest is not.
        {hex.substr(1) + "  short", Kind::digest, "short", std::nullopt},
        {hex + "a  long", Kind::digest, "long", std::nullopt},
        {"g" + hex.substr(1) + "  nothex", Kind::digest, "nothex", std::nullopt},
        {"x  y", Kind::digest, "y", std::nullopt},
        {"#time 2024-13-09T17_05_42Z  badmonth", Kind::stamp, "badmonth", std::nullopt},
        {"#time 2024-03-09T17_05_42Z  a\\\\b\\n", Kind::stamp, "a\\b\n", kStamp},
        // No path to be found.
        {hex, Kind::unreadable, "", std::nullopt},
        {hex + " one", Kind::unreadable, "", std::nullopt},
        {hex + "  ", Kind::unreadable, "", std::nullopt},
        {" " + hex + "  lead", Kind::unreadable, "", std::nullopt},
        {"\\" + hex + "  a\\tb", Kind::unreadable, "", std::nullopt},
        {"\\" + hex + "  end\\", Kind::unreadable, "", std::nullopt},
        {hex + "  nul" + std::string(1, '\0'), Kind::unreadable, "", std::nullopt},
        {"#time 2024-03-09T17_05_42Z *bin", Kind::unreadable, "", std::nullopt},
        {"#time 2024-03-09T17_05_42Z  a\\b", Kind::unreadable, "", std::nullopt},
    };
    for (const auto& line : cases) {
        SCOPED_TRACE(line.text);
        EXPECT_EQ(parseManifestLine(line.text),
                  (ManifestLine{line.kind, line.path, line.value, line.text}));
    }
}

TEST(ManifestFormat, RefusesToWriteWhatCouldNotBeReadBack)
{
    const std::string digest(32, 'd');
    EXPECT_FALSE(manifestDigestLine("a", digest.substr(1)));
    EXPECT_FALSE(manifestDigestLine("", digest));
    EXPECT_FALSE(manifestDigestLine(std::string("a\0b", 3), digest));
    EXPECT_FALSE(manifestStampLine("a", "2024-03-09 17:05:42Z"));
    EXPECT_FALSE(manifestStampLine("", kStamp));
}

TEST(ManifestFormat, OrdersPathsAsTheWalkVisitsThem)
{
    // Each path comes before every later one.
    const std::vector<std::string> ordered = {
        "a", "a/b", "a/b/c", "a/b-", "a-c", "a0", "b", "b\x7f", "b\x80", "b\xff/x", "b\xff-"};
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            EXPECT_EQ(walkOrderLess(ordered[i], ordered[j]), i < j)
                << ordered[i] << " against " << ordered[j];
        }
    }
}

} // namespace
} // namespace quelby
