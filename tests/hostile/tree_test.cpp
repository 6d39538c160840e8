#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"
#include "support/unprivileged.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

std::string reason(int error)
{
    return std::strerror(error);
}

TEST(HostileTree, SocketsPipesLinkLoopsAndLinksToEndlessDevicesAreCountedButNeverRead)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    tree.file("f/file", "x");
    ASSERT_EQ(::mknod(tree.path("f/socket").c_str(), S_IFSOCK | 0644, 0), 0);
    ASSERT_EQ(::mkfifo(tree.path("f/fifo").c_str(), 0644), 0);
    for (const auto& [target, name] : {std::pair{"loop", "loop"},
                                       {"socket", "to-socket"},
                                       {"fifo", "to-fifo"},
                                       {"/dev/zero", "to-zero"}}) {
        ASSERT_EQ(::symlink(target, tree.path(std::string("f/") + name).c_str()), 0);
    }
    const std::string loopLine = "❌ Couldn't read " + f + "/loop: " + reason(ELOOP) + "\n";
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f)),
              loopLine + "Tagged a total of 7 files in " + f + " with 1 errors.");
    EXPECT_EQ(
        test::runReport(test::optionsFor(Operation::check, f)),
        loopLine + "Checked a total of 7 files in " + f +
            "\t1 matched digest correctly\n\t0 didn't match their digest\n\t0 had no digest.");
}

TEST(HostileTree, AHundredThousandEntriesInOneFolderAreAllChecked)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    constexpr int kEntries = 100000;
    for (int index = 0; index < kEntries; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06d", index);
        const int fd = ::open((f + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
        // A sample carries digests, right and wrong: writing all 100,000
        // would cost the suite far more than the walk itself.
        if (index % 1000 == 0) {
            test::writeWholeFile(f + name, name);
            const std::string stored = index % 2000 == 0 ? name : "other";
            test::storeAttribute(f + name, kDigestAttributeName, digestOfBytes(stored).view());
        }
    }
    RunState checked;
    const std::string report = test::runReport(test::optionsFor(Operation::check, f), &checked);
    EXPECT_EQ(checked.totalCount, kEntries);
    EXPECT_EQ(checked.matchedCount, 50);
    EXPECT_EQ(checked.mismatchedCount, 50);
    EXPECT_EQ(checked.noDigestCount, kEntries - 100);
    EXPECT_TRUE(report.starts_with("❌ Digests for " + f + "/001000 aren't equal.\n❌ Digests for " +
                                   f + "/003000 aren't equal.\n"))
        << report.substr(0, 300);
}

// Deeper than a process may hold descriptors open, one per level.
TEST(HostileTree, AChainOfFoldersThousandsDeepIsWalkedToTheBottom)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    std::string bottom = f;
    int folder = ::open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < 3000; ++level) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
        const int child = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        ASSERT_GE(child, 0);
        folder = child;
        bottom += "/d";
    }
    const int file = ::openat(folder, "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(file, "deep", 4), 4);
    ::close(file);
    ::close(folder);
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f)),
              "Tagged a total of 1 files in " + f + " with 0 errors.");
    EXPECT_TRUE(test::runReport(test::optionsFor(Operation::check, f, true))
                    .starts_with("✅ Digests for " + bottom + "/bottom @ ??\n"));
    // Removed here: the shared clean-up walks a chain this deep slowly.
    test::runCommand("rm -rf '" + f + "'");
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
        "❌ Couldn't read " + unreadable + ": " + reason(EACCES) + "\n❌ Couldn't read " + f +
        "/b-not-enterable/inner: " + reason(EACCES) + "\n❌ Couldn't read " + f +
        "/b-not-enterable/sub: " + reason(EACCES) + "\n";
    const std::string expectedRetag =
        cannotRead + "❌ Couldn't tag " + readOnly + "\n⚠️ Tagged " + own +
        "\nRetagged a total of 4 files in " + f +
        "\t0 matched digest correctly\n\t0 were retagged\n\t1 were tagged for the first time.";
    const std::string expectedTag = cannotRead + "❌ Couldn't tag " + readOnly + ": " +
                                    reason(EACCES) + "\nTagged a total of 4 files in " + f +
                                    " with 4 errors.";
    const auto status = test::runUnprivileged([&] {
        const auto retag = test::runReport(test::optionsFor(Operation::retag, f, false, true));
        const auto tag = test::runReport(test::optionsFor(Operation::tag, f, false, true));
        if (retag == expectedRetag && tag == expectedTag) {
            return 0;
        }
        std::fprintf(stderr, "Retag:\n%s\nTag:\n%s\n", retag.c_str(), tag.c_str());
        return 1;
    });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(test::storedAttribute(readOnly, kDigestAttributeName), std::nullopt);
    EXPECT_EQ(test::storedAttribute(own, kDigestAttributeName),
              std::string(digestOfBytes("own").view()));
}

TEST(HostileTree, AFileSystemWithoutUserAttributesFailsEveryWriteAndHasNoDigests)
{
    test::TempTree tree;
    const auto f = tree.folder("ramfs");
    if (::mount("ramfs", f.c_str(), "ramfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "cannot mount a ramfs here: " << reason(errno);
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        f.c_str(), [](const char* path) { ::umount2(path, MNT_DETACH); });
    test::writeWholeFile(f + "/a", "a");
    test::writeWholeFile(f + "/b", "");
    const std::string notSupported = reason(EOPNOTSUPP);
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f, false, true)),
              "❌ Couldn't tag " + f + "/a: " + notSupported + "\n❌ Couldn't tag " + f + "/b: " +
                  notSupported + "\nTagged a total of 2 files in " + f + " with 2 errors.");
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::retag, f, false, true)),
              "❌ Couldn't tag " + f + "/a\n❌ Couldn't tag " + f +
                  "/b\nRetagged a total of 2 files in " + f +
                  "\t0 matched digest correctly\n\t0 were retagged\n"
                  "\t0 were tagged for the first time.");
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::check, f, true)),
              "⚠️ No digest found for " + f + "/a @ ??\n⚠️ No digest found for " + f +
                  "/b @ ??\nChecked a total of 2 files in " + f +
                  "\n\t0 matched digest correctly\n\t0 didn't match their digest\n\t2 had no "
                  "digest.\nBuffer size 4 giving actual buffer 4096");
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

// A file swapped for something else between the listing and its open, or
// changed through another descriptor after its first read.
TEST(HostileTree, AFileSwappedOrChangedUnderTheWalkIsNeverDigested)
{
    const std::string changed(kFileChangedWhileRead);
    const struct
    {
        bool atOpen;
        std::function<void(const std::string&)> change;
        std::string reason; // of the line, when there is one
    } cases[] = {
        {true, [](const std::string& path) { ::mkfifo(path.c_str(), 0644); }, ""},
        {true, [](const std::string& path) { (void)::symlink("/dev/zero", path.c_str()); }, ""},
        {true, [](const std::string& path) { ::mkdir(path.c_str(), 0755); }, ""},
        {true, [](const std::string&) {}, reason(ENOENT)},
        {false,
         [](const std::string& path) { test::writeWholeFile(path, std::string(10001, 'a')); },
         changed},
        {false, [](const std::string& path) { ::truncate(path.c_str(), 5000); }, changed},
        {false,
         [](const std::string& path) { // same size, shows in the time
             const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
             (void)::pwrite(fd, "b", 1, 9000);
             ::close(fd);
         },
         changed},
    };
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
            SCOPED_TRACE("case " + std::to_string(index) + ", operation " +
                         std::to_string(static_cast<int>(operation)));
            const auto& c = cases[index];
            test::TempTree tree;
            const auto f = tree.folder("f");
            const auto victim = tree.file("f/victim", std::string(10000, 'a'));
            const auto other = tree.file("f/z-other", "other");
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, victim.c_str(), old, 0), 0);
            RunState state;
            std::string report;
            {
                test::ScriptedSystemCalls calls;
                calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
                    if (c.atOpen && std::strcmp(name, "victim") == 0 &&
                        ::access(victim.c_str(), F_OK) == 0 && (flags & O_DIRECTORY) == 0) {
                        ::unlink(victim.c_str());
                        c.change(victim);
                    }
                    return calls.SystemCalls::openAt(dirFd, name, flags);
                };
                int reads = 0;
                calls.onRead = [&](int fd, void* buffer, std::size_t size) {
                    const ssize_t count = calls.realRead(fd, buffer, size);
                    if (!c.atOpen && ++reads == 1) {
                        c.change(victim);
                    }
                    return count;
                };
                report = test::runReport(test::optionsFor(operation, f, false, true), &state);
            }
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
