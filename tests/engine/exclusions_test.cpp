#include "engine/exclusions.h"
#include "support/temp_tree.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace quelby {
namespace {

TEST(Exclusions, MatchNamesAnywhereAndPathsFromTheFolderAsFnmatchReadsThem)
{
    const struct
    {
        std::string pattern, relativePath;
        bool isFolder, excluded;
    } cases[] = {
        {"*.tmp", "a.tmp", false, true},
        {"*.tmp", "sub/deep/a.tmp", false, true},
        {"*.tmp", "a.tmp.keep", false, false},
        {"*", ".hidden", false, true},
        {".*", "sub/.git", true, true},
        {"sub/*.tmp", "sub/a.tmp", false, true},
        {"sub/*.tmp", "sub/deep/a.tmp", false, false},
        {"sub/*.tmp", "other/sub/a.tmp", false, false},
        {"*/a.tmp", "sub/deep/a.tmp", false, false},
        {"*/*/a.tmp", "sub/deep/a.tmp", false, true},
        {"**/a.tmp", "sub/deep/a.tmp", false, false},
        {"**/a.tmp", "sub/a.tmp", false, true},
        {"/cache", "cache", true, true},
        {"/cache", "cache", false, true},
        {"/cache", "sub/cache", true, false},
        {"cache/", "sub/cache", true, true},
        {"cache/", "cache", true, true},
        {"cache/", "sub/cache", false, false},
        {"/cache/", "cache", false, false},
        {"/cache/", "sub/cache", true, false},
        {"sub/cache/", "sub/cache", true, true},
        {"cache", "cache/inner", false, false},
        {"[ab].txt", "sub/b.txt", false, true},
        {"\\*.txt", "*.txt", false, true},
        {"\\*.txt", "a.txt", false, false},
        {"caf\xe9*", "caf\xe9.txt", false, true},
        {"new\nline", "new\nline", false, true},
        {"/", "anything", true, false},
    };
    for (const auto& c : cases) {
        const std::string patterns[] = {c.pattern};
        const auto slash = c.relativePath.rfind('/');
        const std::string name =
            slash == std::string::npos ? c.relativePath : c.relativePath.substr(slash + 1);
        EXPECT_EQ(Exclusions(patterns).excludes(c.relativePath, name, c.isFolder), c.excluded)
            << c.pattern << " against " << c.relativePath << (c.isFolder ? "/" : "");
    }
    const std::string several[] = {"*.tmp", "/cache"};
    const Exclusions exclusions(several);
    EXPECT_TRUE(exclusions.excludes("cache", "cache", false));
    EXPECT_TRUE(exclusions.excludes("x/y.tmp", "y.tmp", false));
    EXPECT_FALSE(exclusions.excludes("x/cache", "cache", true));
    EXPECT_FALSE(exclusions.empty());
    EXPECT_TRUE(Exclusions().empty());
    EXPECT_FALSE(Exclusions().excludes("a", "a", false));
}

TEST(Exclusions, ReadOnePatternALineSkippingBlanksAndCommentsOrGiveTheOsText)
{
    test::TempTree tree;
    const auto file = tree.file("patterns", "# caches\n*.tmp\n\n   \n/cache/\n #not a comment\n"
                                            "trailing space \nlast");
    EXPECT_EQ(patternsFromFile(file),
              (std::vector<std::string>{"*.tmp", "/cache/", " #not a comment", "trailing space ",
                                        "last"}));
    EXPECT_EQ(patternsFromFile(tree.file("empty")), std::vector<std::string>{});
    EXPECT_EQ(patternsFromFile(tree.path("missing")).error(), std::strerror(ENOENT));
    EXPECT_EQ(patternsFromFile(tree.folder("folder")).error(), std::strerror(EISDIR));
}

} // namespace
} // namespace quelby
