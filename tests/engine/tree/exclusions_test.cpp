#include "engine/tree/exclusions.h"
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
        {"*/*/a.tmp", "sub/deep/a.tmp", false, true},
        {"/cache", "cache", true, true},
        {"/cache", "sub/cache", true, false},
        {"cache/", "sub/cache", true, true},
        {"cache/", "cache", true, true},
        {"cache/", "sub/cache", false, false},
        {"/cache/", "cache", false, false},
        {"/cache/", "sub/cache", true, false},
        {"sub/cache/", "sub/cache", true, true},
        {"cache", "cache/inner", false, false},
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
}

// The command-line test reads comments, blank lines and a missing file; here
// what is kept as it is.
TEST(Exclusions, ReadOnePatternALineKeepingSpacesThatArePartOfIt)
{
    test::TempTree tree;
    const auto file = tree.file("patterns", " #not a comment\ntrailing space \nlast");
    EXPECT_EQ(patternsFromFile(file),
              (std::vector<std::string>{" #not a comment", "trailing space ", "last"}));
    EXPECT_EQ(patternsFromFile(tree.folder("folder")).error().reason,
              "not a regular file but a folder");
    EXPECT_EQ(patternsFromFile(tree.path("missing")).error().reason, std::strerror(ENOENT));
}

} // namespace
} // namespace quelby
