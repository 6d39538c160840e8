#include "engine/run_fixture.h"
#include "random_tree.h"
#include "support/scripted_system_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

TEST(Sizes, ASparseFileOfEightGibibytesIsReadThroughItsHoles)
{
    if (!test::longTestsWanted()) {
        GTEST_SKIP() << "a long test: set QUELBY_LONG_TESTS=1 (./test.sh --long)";
    }
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = folder + "/sparse";
    constexpr off_t kSize = off_t{8} << 30;
    const std::string tail = "the end of a sparse file";
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kSize - static_cast<off_t>(tail.size())),
                  static_cast<ssize_t>(tail.size()));
        ::close(fd);
    }

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    ASSERT_EQ(EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr), 1);
    const std::string zeros(1 << 20, '\0');
    off_t left = kSize - static_cast<off_t>(tail.size());
    while (left > 0) {
        const auto piece = static_cast<std::size_t>(std::min<off_t>(left, 1 << 20));
        EVP_DigestUpdate(context.get(), zeros.data(), piece);
        left -= static_cast<off_t>(piece);
    }
    EVP_DigestUpdate(context.get(), tail.data(), tail.size());
    Digest expected;
    unsigned int length = 0;
    ASSERT_EQ(EVP_DigestFinal_ex(context.get(), expected.bytes.data(), &length), 1);

    auto options = test::optionsFor(Operation::tag, folder);
    options.realBufferSize = 1 << 20;
    RunState state;
    EXPECT_EQ(test::runReport(options, &state),
              "Tagged a total of 1 files in " + folder + " with 0 errors.");
    EXPECT_EQ(state.bytesRead, kSize);
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), std::string(expected.view()));
}

// Changes the file through another descriptor after the first read of it.
enum class Change
{
    grow,
    shrink,
    rewriteInPlace
};

TEST(Sizes, AFileChangedWhileItIsReadGetsNoDigestAndNoAttribute)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/file");
    const std::string contents(10000, 'a');
    const std::string reason = std::string(kFileChangedWhileRead);
    for (const auto change : {Change::grow, Change::shrink, Change::rewriteInPlace}) {
        for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
            SCOPED_TRACE("change " + std::to_string(static_cast<int>(change)) + ", operation " +
                         std::to_string(static_cast<int>(operation)));
            test::writeWholeFile(path, contents);
            test::removeAttribute(path, kDigestAttributeName);
            // An old time, so that a rewrite shows in the modification time.
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
            std::string report;
            {
                test::ScriptedSystemCalls calls;
                int reads = 0;
                calls.onRead = [&](int fd, void* buffer, std::size_t size) {
                    const ssize_t count = calls.realRead(fd, buffer, size);
                    if (++reads == 1) {
                        const int other = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
                        if (change == Change::grow) {
                            (void)::pwrite(other, "more", 4, 10000);
                        } else if (change == Change::shrink) {
                            (void)::ftruncate(other, 5000);
                        } else {
                            (void)::pwrite(other, "b", 1, 9000);
                        }
                        ::close(other);
                    }
                    return count;
                };
                report = test::runReport(test::optionsFor(operation, folder));
            }
            EXPECT_TRUE(report.starts_with("❌ Couldn't read " + path + ": " + reason + "\n"))
                << report;
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), std::nullopt);
        }
    }
}

} // namespace
} // namespace quelby
