#include "engine/run/time_stamp.h"
#include "engine/store/tag_store.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace quelby {
namespace {

std::string valueOrError(const std::expected<Bytes, PosixError>& value)
{
    return value ? *value
                 : "error " + std::to_string(value.error().code) + ": " + value.error().description;
}

TEST(TagStore, KeepsValuesByteForByteThroughPathsLinksAndDescriptors)
{
    test::TempTree tree;
    const auto path = tree.file("photo.jpg", "pixels");
    EXPECT_EQ(valueOrError(readExtendedAttribute(path, kDigestAttributeName)),
              "error " + std::to_string(ENODATA) + ": " + std::strerror(ENODATA));
    for (const std::string& value :
         {std::string(), std::string("\0\x01\xff tail\0", 9), std::string(4000, 'z')}) {
        ASSERT_TRUE(writeExtendedAttribute(path, kDigestAttributeName, value));
        EXPECT_EQ(valueOrError(readExtendedAttribute(path, kDigestAttributeName)), value);
    }
    // Stored under the platform's name, where other tools look for it.
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), std::string(4000, 'z'));

    const auto link = tree.path("link");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(writeExtendedAttribute(link, kTimeAttributeName, "via link"));
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(valueOrError(readExtendedAttribute(fd, kTimeAttributeName)), "via link");
    ::close(fd);
}

TEST(TagStore, AWriteOnAnImmutableFileFailsWithEPERMAndKeepsTheValue)
{
    test::TempTree tree;
    const auto path = tree.file("locked.jpg", "x");
    test::storeAttribute(path, kDigestAttributeName, "before");
    if (!test::setImmutable(path, true)) {
        GTEST_SKIP() << "chattr +i is not possible here (needs root on ext4 or similar)";
    }
    const auto written = writeExtendedAttribute(path, kDigestAttributeName, "after");
    test::setImmutable(path, false);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().description, std::strerror(EPERM));
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), "before");
}

TEST(TagStore, AValueThatShrinksBetweenSizeAndReadKeepsOnlyTheCopiedBytes)
{
    test::TempTree tree;
    const auto path = tree.file("a", "x");
    test::ScriptedSystemCalls calls;
    calls.onGetAttribute = [](int, const char*, void* value, std::size_t size) -> ssize_t {
        if (value == nullptr || size < 200) { // the size query, or too small a buffer
            errno = value == nullptr ? 0 : ERANGE;
            return value == nullptr ? 200 : -1;
        }
        std::memcpy(value, "short", 5);
        return 5;
    };
    EXPECT_EQ(valueOrError(readExtendedAttribute(path, kDigestAttributeName)), "short");
}

TEST(TimeStamp, IsUtcWhateverTheLocalTimeZone)
{
    ::setenv("TZ", "Pacific/Kiritimati", 1); // UTC+14: the local date is already 10 March
    ::tzset();
    const auto moment = std::chrono::system_clock::from_time_t(1710003942);
    EXPECT_EQ(timeStampText(moment + std::chrono::milliseconds(999)), "2024-03-09T17_05_42Z");
    ::unsetenv("TZ");
    ::tzset();
}

} // namespace
} // namespace quelby
