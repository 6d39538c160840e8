#include "engine/read/file_digest.h"
#include "support/hex.h"
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

std::string hex(const DigestResult& result)
{
    if (!result || !*result) {
        return result ? "no input" : "failure: " + result.error().description;
    }
    return test::hex((*result)->view());
}

TEST(FileDigest, GivesTheKnownAnswersWhateverTheBufferSizeOrEntryPoint)
{
    test::TempTree tree;
    const struct
    {
        std::string contents;
        const char* expected;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [contents, expected] : cases) {
        const auto path = tree.file("known", contents);
        for (std::int64_t size : {1, 7, 4096, 999999, 1000000, 1000001, 4 << 20}) {
            EXPECT_EQ(hex(fileDigest(path, size, DigestBackEnd::legacy)), expected) << size;
        }
        const int fd = ::open(path.c_str(), O_RDONLY);
        EXPECT_EQ(hex(fileDigest(fd, 65536, DigestBackEnd::current)), expected);
        ::close(fd);
    }
}

TEST(FileDigest, ReadsOnlyRegularFilesAndNamesWhyOthersFail)
{
    test::TempTree tree;
    ASSERT_EQ(::mkfifo(tree.path("pipe").c_str(), 0644), 0); // would block a plain open
    ASSERT_EQ(::symlink("/dev/null", tree.path("null").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", tree.path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink("loop", tree.path("loop").c_str()), 0);
    const struct
    {
        std::string path;
        std::string expected;
    } cases[] = {
        {tree.path("pipe"), "no input"},
        {tree.folder("sub"), "no input"},
        {tree.path("null"), "no input"},
        {tree.path("missing"), "failure: " + std::string(std::strerror(ENOENT))},
        {tree.path("dangling"), "failure: " + std::string(std::strerror(ENOENT))},
        {tree.path("loop"), "failure: " + std::string(std::strerror(ELOOP))},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(hex(fileDigest(path, 1024, DigestBackEnd::current)), expected) << path;
    }
    EXPECT_EQ(hex(fileDigest(tree.file("a", "x"), 0, DigestBackEnd::current)),
              "failure: buffer size must be at least 1 byte");
    // A buffer that cannot be had is a failure of that file, never the end of the process.
    EXPECT_EQ(hex(fileDigest(tree.path("a"), std::int64_t{1} << 62, DigestBackEnd::current)),
              "failure: " + std::string(std::strerror(ENOMEM)));

    const auto secret = tree.file("secret", "private");
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    const auto status = test::runUnprivileged([&] {
        return hex(fileDigest(secret, 1024, DigestBackEnd::current)) ==
                       "failure: " + std::string(std::strerror(EACCES))
                   ? 0
                   : 1;
    });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);
}

} // namespace
} // namespace quelby
