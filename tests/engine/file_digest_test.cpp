#include "engine/file_digest.h"
#include "engine/tag_store.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

using test::TempTree;

std::string hex(const Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest.bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string hexOfFile(const std::string& path, std::int64_t bufferSize)
{
    const auto result = fileDigest(path, bufferSize, DigestBackEnd::current);
    if (!result || !*result) {
        return "no digest";
    }
    return hex(**result);
}

TEST(FileDigest, GivesTheStandardSha256KnownAnswers)
{
    struct Case
    {
        std::string contents;
        const char* expected;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    TempTree tree;
    for (const auto& [contents, expected] : cases) {
        const auto path = tree.file("known", contents);
        for (auto backEnd : {DigestBackEnd::current, DigestBackEnd::legacy}) {
            const auto result = fileDigest(path, 65536, backEnd);
            ASSERT_TRUE(result && *result);
            EXPECT_EQ(hex(**result), expected);
        }
        EXPECT_EQ(hex(digestOfBytes(contents)), expected);
    }
}

TEST(FileDigest, DoesNotDependOnTheBufferSizeOrTheEntryPoint)
{
    TempTree tree;
    std::string contents;
    for (unsigned i = 0; i < 300000; ++i) {
        contents += static_cast<char>((i * 7919u) % 251u);
    }
    const auto path = tree.file("data.bin", contents);
    const std::string expected = hex(digestOfBytes(contents));
    for (std::int64_t size : {1, 2, 7, 1024, 4096, 299999, 300000, 300001, 4194304, 64 << 20}) {
        EXPECT_EQ(hexOfFile(path, size), expected) << "buffer " << size;
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto byDescriptor = fileDigest(fd, 3, DigestBackEnd::current);
    ::close(fd);
    ASSERT_TRUE(byDescriptor && *byDescriptor);
    EXPECT_EQ(hex(**byDescriptor), expected);
}

TEST(FileDigest, MakesNoInputForEntriesThatAreNotRegularFiles)
{
    TempTree tree;
    const auto fifo = tree.path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const auto folder = tree.folder("sub");
    const auto link = tree.path("null");
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    // A FIFO with no writer would block a plain open or read for ever.
    for (const auto& path : {fifo, folder, link}) {
        const auto result = fileDigest(path, 1024, DigestBackEnd::current);
        ASSERT_TRUE(result) << path << ": " << result.error().description;
        EXPECT_FALSE(result->has_value()) << path;
    }
}

TEST(FileDigest, APathThatCannotBeOpenedIsAReadFailureWithItsErrno)
{
    TempTree tree;
    const auto dangling = tree.path("dangling");
    ASSERT_EQ(::symlink("nowhere", dangling.c_str()), 0);
    const auto loop = tree.path("loop");
    ASSERT_EQ(::symlink("loop", loop.c_str()), 0);
    const struct
    {
        std::string path;
        int code;
    } cases[] = {{tree.path("missing"), ENOENT}, {dangling, ENOENT}, {loop, ELOOP}};
    for (const auto& [path, code] : cases) {
        const auto result = fileDigest(path, 1024, DigestBackEnd::current);
        ASSERT_FALSE(result) << path;
        EXPECT_EQ(result.error().code, code);
        EXPECT_EQ(result.error().description, std::strerror(code));
    }
}

TEST(FileDigest, AnUnreadableFileIsAReadFailureNotTheDigestOfNothing)
{
    TempTree tree;
    const auto path = tree.file("secret.txt", "private");
    ASSERT_EQ(::chmod(path.c_str(), 0000), 0);
    const auto status = test::runUnprivileged([&] {
        const auto result = fileDigest(path, 1024, DigestBackEnd::current);
        return !result && result.error().code == EACCES ? 0 : 1;
    });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);
}

TEST(FileDigest, ARefusedBufferSizeIsAClearFailure)
{
    TempTree tree;
    const auto path = tree.file("a", "x");
    for (std::int64_t size : {0, -1}) {
        const auto result = fileDigest(path, size, DigestBackEnd::current);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().description, "buffer size must be at least 1 byte");
    }
    const auto huge = fileDigest(path, std::int64_t{1} << 62, DigestBackEnd::current);
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().code, ENOMEM);
}

TEST(FileDigest, AReadErrorPartWayOrEAGAINIsAFailureNeverADigest)
{
    TempTree tree;
    const auto path = tree.file("disk.img", std::string(10000, 'd'));
    for (int error : {EIO, EAGAIN}) {
        test::ScriptedSystemCalls calls;
        int reads = 0;
        calls.onRead = [&](int fd, void* buffer, std::size_t size) -> ssize_t {
            if (++reads == 3) {
                errno = error;
                return -1;
            }
            return calls.realRead(fd, buffer, size);
        };
        const auto result = fileDigest(path, 1024, DigestBackEnd::current);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().code, error);
        EXPECT_EQ(result.error().description, std::strerror(error));
    }
}

TEST(FileDigest, AFileThatGrowsWhileReadIsReportedAsChanged)
{
    TempTree tree;
    const auto path = tree.file("growing.log", std::string(4096, 'g'));
    test::ScriptedSystemCalls calls;
    int reads = 0;
    calls.onRead = [&](int fd, void* buffer, std::size_t size) -> ssize_t {
        if (++reads == 2) {
            const int writer = ::open(path.c_str(), O_WRONLY | O_APPEND);
            (void)!::write(writer, "more", 4);
            ::close(writer);
        }
        return calls.realRead(fd, buffer, size);
    };
    const auto result = fileDigest(path, 1024, DigestBackEnd::current);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, 0);
    EXPECT_EQ(result.error().description, kFileChangedWhileRead);
}

TEST(TagStore, AValueThatShrinksBetweenSizeAndReadKeepsOnlyTheCopiedBytes)
{
    TempTree tree;
    const auto path = tree.file("a", "x");
    test::ScriptedSystemCalls calls;
    calls.onGetAttribute = [](int, const char*, void* value, std::size_t size) -> ssize_t {
        if (value == nullptr) {
            return 200;
        }
        if (size < 200) {
            errno = ERANGE;
            return -1;
        }
        std::memcpy(value, "short", std::min<std::size_t>(size, 5));
        return 5;
    };
    EXPECT_EQ(readExtendedAttribute(path, kDigestAttributeName).value_or("failed"), "short");
}

} // namespace
} // namespace quelby
