#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

// A hundred thousand entries in one folder, and a chain of folders deeper
// than a process may hold descriptors open, one per level.
TEST(HostileTree, AHundredThousandEntriesAndAChainThreeThousandDeepAreAllChecked)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    const auto wide = tree.folder("f/wide");
    for (int index = 0; index < 100000; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06d", index);
        ASSERT_EQ(::close(::open((wide + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), 0);
        // A sample carries digests, right and wrong: writing all 100,000
        // would cost the suite far more than the walk itself.
        if (index % 1000 == 0) {
            test::writeWholeFile(wide + name, name);
            const std::string stored = index % 2000 == 0 ? name : "other";
            test::storeAttribute(wide + name, kDigestAttributeName, digestOfBytes(stored).view());
        }
    }
    int folder = ::open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < 3000; ++level) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
        const int child = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = child;
    }
    const int file = ::openat(folder, "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(file, "deep", 4), 4);
    ::close(file);
    ::close(folder);
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f + "/d")),
              "Tagged a total of 1 files in " + f + "/d with 0 errors.");
    RunState checked;
    const std::string report = test::runReport(test::optionsFor(Operation::check, f), &checked);
    EXPECT_EQ(checked.totalCount, 100001);
    EXPECT_EQ(checked.matchedCount, 51);
    EXPECT_EQ(checked.mismatchedCount, 50);
    EXPECT_EQ(checked.noDigestCount, 100000 - 100);
    EXPECT_TRUE(report.starts_with("❌ Digests for " + wide +
                                   "/001000 aren't equal.\n❌ Digests for " + wide +
                                   "/003000 aren't equal.\n"))
        << report.substr(0, 300);
    // Removed here: the shared clean-up walks a chain this deep slowly.
    test::runCommand("rm -rf '" + f + "/d'");
}

TEST(HostileTree, WithoutPermissionsEveryFailureIsNamedAndTheRestIsTagged)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    const auto unreadable = tree.file("f/a-unreadable", "secret");
    tree.file("f/b-not-enterable/inner", "inner");
    tree.file("f/b-not-enterable/sub/deeper", "deeper");
    const auto readOnly = tree.file("f/c-read-only", "read only");
    const auto own = tree.file("f/d-own", "own");
    ASSERT_EQ(::chmod(unreadable.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(tree.path("f/b-not-enterable").c_str(), 0744), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0644), 0);
    ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
    const std::string cannotRead =
        "❌ Couldn't read " + unreadable + ": " + std::strerror(EACCES) + "\n❌ Couldn't read " + f +
        "/b-not-enterable/inner: " + std::strerror(EACCES) + "\n❌ Couldn't read " + f +
        "/b-not-enterable/sub: " + std::strerror(EACCES) + "\n";
    const std::string expectedRetag =
        cannotRead + "❌ Couldn't tag " + readOnly + "\n⚠️ Tagged " + own +
        "\nRetagged a total of 4 files in " + f +
        "\t0 matched digest correctly\n\t0 were retagged\n\t1 were tagged for the first time.";
    const std::string expectedTag = cannotRead + "❌ Couldn't tag " + readOnly + ": " +
                                    std::strerror(EACCES) + "\nTagged a total of 4 files in " + f +
                                    " with 4 errors.";
    const auto status = test::runUnprivileged([&] {
        const auto retag = test::runReport(test::optionsFor(Operation::retag, f, false, true));
        const auto tag = test::runReport(test::optionsFor(Operation::tag, f, false, true));
        const bool same = retag == expectedRetag && tag == expectedTag;
        return same ? 0 : (std::fprintf(stderr, "%s\n%s\n", retag.c_str(), tag.c_str()), 1);
    });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(test::storedAttribute(readOnly, kDigestAttributeName), std::nullopt);
    EXPECT_EQ(test::storedAttribute(own, kDigestAttributeName),
              std::string(digestOfBytes("own").view()));
}

TEST(HostileTree, ASparseFileOfEightGibibytesIsReadThroughItsHoles)
{
    if (const char* wanted = std::getenv("QUELBY_LONG_TESTS");
        wanted == nullptr || std::string(wanted) != "1") {
        GTEST_SKIP() << "a long test: set QUELBY_LONG_TESTS=1 (./test.sh --long)";
    }
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = folder + "/sparse";
    constexpr off_t kHole = off_t{8} << 30;
    const std::string tail = "the end of a sparse file";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kHole), static_cast<ssize_t>(tail.size()));
    ::close(fd);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    const std::string zeros(1 << 20, '\0');
    for (off_t done = 0; done < kHole; done += 1 << 20) {
        EVP_DigestUpdate(context, zeros.data(), zeros.size());
    }
    EVP_DigestUpdate(context, tail.data(), tail.size());
    Digest expected;
    EVP_DigestFinal_ex(context, expected.bytes.data(), nullptr);
    EVP_MD_CTX_free(context);
    auto options = test::optionsFor(Operation::tag, folder);
    options.realBufferSize = 1 << 20;
    RunState state;
    EXPECT_EQ(test::runReport(options, &state),
              "Tagged a total of 1 files in " + folder + " with 0 errors.");
    EXPECT_EQ(state.bytesRead, kHole + static_cast<off_t>(tail.size()));
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), std::string(expected.view()));
}

enum class When
{
    listed,   // the entry is this when the folder is listed
    opened,   // the file turns into this between the listing and its open
    firstRead // the file changes through another descriptor after its first read
};

TEST(HostileTree, NoEntryButARegularFileUnchangedWhileReadIsEverDigested)
{
    const auto fifo = [](const char* path) { ::mkfifo(path, 0644); };
    const auto toZero = [](const char* path) { (void)::symlink("/dev/zero", path); };
    const std::string changed(kFileChangedWhileRead);
    const struct
    {
        When when;
        std::function<void(const char*)> change;
        std::string reason; // of the line about it, when there is one
    } cases[] = {
        {When::listed, [](const char* path) { ::mknod(path, S_IFSOCK | 0644, 0); }, ""},
        {When::listed, fifo, ""},
        {When::listed, [](const char* path) { (void)::symlink("../socket", path); }, ""},
        {When::listed, [](const char* path) { (void)::symlink("../fifo", path); }, ""},
        {When::listed, toZero, ""},
        {When::listed, [](const char* path) { (void)::symlink("victim", path); },
         std::strerror(ELOOP)},
        {When::opened, fifo, ""},
        {When::opened, toZero, ""},
        {When::opened, [](const char* path) { ::mkdir(path, 0755); }, ""},
        {When::opened, [](const char*) {}, std::strerror(ENOENT)},
        {When::firstRead, [](const char* p) { test::writeWholeFile(p, std::string(10001, 'a')); },
         changed},
        {When::firstRead, [](const char* path) { (void)::truncate(path, 5000); }, changed},
        // The same size: the change shows in the modification time.
        {When::firstRead, [](const char* p) { test::writeWholeFile(p, std::string(10000, 'b')); },
         changed},
    };
    for (const auto& c : cases) {
        for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + ", operation " +
                         std::to_string(static_cast<int>(operation)));
            test::TempTree tree;
            const auto f = tree.folder("f");
            const auto victim = tree.file("f/victim", std::string(10000, 'a'));
            const auto other = tree.file("f/z-other", "other");
            ASSERT_EQ(::mknod(tree.path("socket").c_str(), S_IFSOCK | 0644, 0), 0);
            fifo(tree.path("fifo").c_str());
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, victim.c_str(), old, 0), 0);
            const auto swap = [&] {
                ::unlink(victim.c_str());
                c.change(victim.c_str());
            };
            if (c.when == When::listed) {
                swap();
            }
            test::ScriptedSystemCalls calls;
            calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
                if (c.when == When::opened && std::strcmp(name, "victim") == 0 &&
                    ::access(victim.c_str(), F_OK) == 0 && (flags & O_DIRECTORY) == 0) {
                    swap();
                }
                return calls.SystemCalls::openAt(dirFd, name, flags);
            };
            int reads = 0;
            calls.onRead = [&](int fd, void* buffer, std::size_t size) {
                const ssize_t count = calls.realRead(fd, buffer, size);
                if (c.when == When::firstRead && ++reads == 1) {
                    c.change(victim.c_str());
                }
                return count;
            };
            RunState state;
            const std::string report =
                test::runReport(test::optionsFor(operation, f, false, true), &state);
            if (c.reason.empty()) {
                EXPECT_EQ(report.find("victim"), std::string::npos) << report;
            } else {
                EXPECT_TRUE(
                    report.starts_with("❌ Couldn't read " + victim + ": " + c.reason + "\n"))
                    << report;
            }
            EXPECT_EQ(state.failureCount, c.reason.empty() ? 0 : 1);
            EXPECT_EQ(state.totalCount, 2);
            EXPECT_EQ(test::storedAttribute(victim, kDigestAttributeName), std::nullopt);
            EXPECT_EQ(test::storedAttribute(other, kDigestAttributeName),
                      operation == Operation::check
                          ? std::nullopt
                          : std::optional(std::string(digestOfBytes("other").view())));
        }
    }
}

} // namespace
} // namespace quelby
