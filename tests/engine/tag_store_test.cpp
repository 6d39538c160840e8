#include "engine/tag_store.h"
#include "support/temp_tree.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace quelby {
namespace {

using test::TempTree;

TEST(TagStore, AMissingAttributeIsENODATAWithTheSystemText)
{
    TempTree tree;
    const auto path = tree.file("plain.txt", "x");
    const auto value = readExtendedAttribute(path, kDigestAttributeName);
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().code, ENODATA);
    EXPECT_EQ(value.error().description, std::strerror(ENODATA));
}

TEST(TagStore, ValuesRoundTripByteForByteAndASecondWriteReplacesTheFirst)
{
    TempTree tree;
    const auto path = tree.file("photo.jpg", "pixels");
    const std::string values[] = {"", std::string("\0\x01\xff tail\0", 9), std::string(32, '\x7f'),
                                  std::string(4000, 'z')};
    for (const auto& value : values) {
        ASSERT_TRUE(writeExtendedAttribute(path, kDigestAttributeName, value));
        const auto read = readExtendedAttribute(path, kDigestAttributeName);
        ASSERT_TRUE(read);
        EXPECT_EQ(*read, value);
    }
    // Stored under the platform's name, so other tools see it where they look.
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), std::string(4000, 'z'));
    EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), std::nullopt);
}

TEST(TagStore, ReadsAndWritesThroughASymbolicLinkReachTheTarget)
{
    TempTree tree;
    const auto target = tree.file("target.txt", "contents");
    const auto link = tree.path("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    ASSERT_TRUE(writeExtendedAttribute(link, kTimeAttributeName, "2024-03-09T17_05_42Z"));
    EXPECT_EQ(test::storedAttribute(target, kTimeAttributeName), "2024-03-09T17_05_42Z");
    test::storeAttribute(target, kDigestAttributeName, "abc");
    EXPECT_EQ(readExtendedAttribute(link, kDigestAttributeName).value_or("failed"), "abc");
}

TEST(TagStore, DescriptorAndPathEntryPointsAgree)
{
    TempTree tree;
    const auto path = tree.file("doc.pdf", "pdf");
    test::storeAttribute(path, kDigestAttributeName, "stored");
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readExtendedAttribute(fd, kDigestAttributeName).value_or("failed"),
              readExtendedAttribute(path, kDigestAttributeName).value_or("other"));
    ASSERT_TRUE(writeExtendedAttribute(fd, kTimeAttributeName, "via descriptor"));
    ::close(fd);
    EXPECT_EQ(readExtendedAttribute(path, kTimeAttributeName).value_or(""), "via descriptor");
}

TEST(TagStore, AWriteOnAnImmutableFileFailsWithEPERMAndKeepsTheValue)
{
    TempTree tree;
    const auto path = tree.file("locked.jpg", "x");
    test::storeAttribute(path, kDigestAttributeName, "before");
    if (!test::setImmutable(path, true)) {
        GTEST_SKIP() << "chattr +i is not possible here (needs root on ext4 or similar)";
    }
    const auto written = writeExtendedAttribute(path, kDigestAttributeName, "after");
    test::setImmutable(path, false);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, EPERM);
    EXPECT_EQ(written.error().description, std::strerror(EPERM));
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), "before");
}

} // namespace
} // namespace quelby
