#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"
#include "support/unprivileged.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quelby {
namespace {

std::string reason(int error)
{
    return std::strerror(error);
}

int countOf(const std::string& text, char wanted)
{
    return static_cast<int>(std::count(text.begin(), text.end(), wanted));
}

bool bindSocket(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

TEST(HostileTree, SocketsLinkLoopsAndLinksToEndlessDevicesAreCountedButNeverRead)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    tree.file("f/file", "x");
    ASSERT_TRUE(bindSocket(tree.path("f/socket")));
    ASSERT_EQ(::mkfifo(tree.path("f/fifo").c_str(), 0644), 0);
    const struct
    {
        const char* target;
        const char* name;
    } links[] = {
        {"loop-b", "loop-a"},           {"loop-a", "loop-b"}, {"self", "self"},
        {"socket", "to-socket"},        {"fifo", "to-fifo"},  {"/dev/zero", "to-zero"},
        {"/dev/urandom", "to-urandom"},
    };
    for (const auto& link : links) {
        ASSERT_EQ(::symlink(link.target, tree.path(std::string("f/") + link.name).c_str()), 0);
    }
    const std::string loopLines = "❌ Couldn't read " + f + "/loop-a: " + reason(ELOOP) + "\n" +
                                  "❌ Couldn't read " + f + "/loop-b: " + reason(ELOOP) + "\n" +
                                  "❌ Couldn't read " + f + "/self: " + reason(ELOOP) + "\n";
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f)),
              loopLines + "Tagged a total of 10 files in " + f + " with 3 errors.");
    EXPECT_EQ(
        test::runReport(test::optionsFor(Operation::check, f)),
        loopLines + "Checked a total of 10 files in " + f +
            "\t1 matched digest correctly\n\t0 didn't match their digest\n\t0 had no digest.");
}

// What a file turns into between the listing of its folder and its open.
enum class Swap
{
    fifo,
    linkToEndlessDevice,
    folder,
    gone
};

TEST(HostileTree, AFileSwappedForSomethingElseAfterTheListingIsNeverReadAsAFile)
{
    for (const auto swap : {Swap::fifo, Swap::linkToEndlessDevice, Swap::folder, Swap::gone}) {
        SCOPED_TRACE("swap " + std::to_string(static_cast<int>(swap)));
        test::TempTree tree;
        const auto f = tree.folder("f");
        const auto victim = tree.file("f/victim", "was a file");
        tree.file("f/z-other", "other");
        std::string report;
        {
            test::ScriptedSystemCalls calls;
            calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
                if (std::strcmp(name, "victim") == 0 && ::access(victim.c_str(), F_OK) == 0 &&
                    (flags & O_DIRECTORY) == 0) {
                    ::unlink(victim.c_str());
                    if (swap == Swap::fifo) {
                        ::mkfifo(victim.c_str(), 0644);
                    } else if (swap == Swap::linkToEndlessDevice) {
                        (void)::symlink("/dev/zero", victim.c_str());
                    } else if (swap == Swap::folder) {
                        ::mkdir(victim.c_str(), 0755);
                    }
                }
                return calls.SystemCalls::openAt(dirFd, name, flags);
            };
            report = test::runReport(test::optionsFor(Operation::tag, f, false, true));
        }
        const std::string gone =
            swap == Swap::gone ? "❌ Couldn't read " + victim + ": " + reason(ENOENT) + "\n" : "";
        EXPECT_EQ(report, gone + "Tagged a total of 2 files in " + f + " with " +
                              (swap == Swap::gone ? "1" : "0") + " errors.");
        EXPECT_EQ(test::storedAttribute(victim, kDigestAttributeName), std::nullopt);
        EXPECT_EQ(test::storedAttribute(f + "/z-other", kDigestAttributeName),
                  std::string(digestOfBytes("other").view()));
    }
}

TEST(HostileTree, NamesOfEveryByteStayOneLineEachAndAreTaggedAndChecked)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    std::vector<std::string> names = {"-rf",       "--help",   std::string(255, 'n'),
                                      "\xc3\x28",  "\xff\xfe", "\xed\xa0\x80surrogate",
                                      "line\nfeed"};
    std::string accented;
    while (accented.size() < 254) {
        accented += "\xc3\xa9";
    }
    names.push_back(accented + "x");
    std::string chunk;
    for (int byte = 1; byte <= 255; ++byte) {
        if (byte != '/') {
            chunk += static_cast<char>(byte);
        }
        if (chunk.size() == 50 || byte == 255) {
            names.push_back(chunk);
            chunk.clear();
        }
    }
    for (const auto& name : names) {
        tree.file("f/" + name, name);
    }
    const auto count = static_cast<int>(names.size());
    RunState tagged;
    test::runReport(test::optionsFor(Operation::tag, f, false, false), &tagged);
    EXPECT_EQ(tagged.totalCount, count);
    EXPECT_EQ(tagged.failureCount, 0);

    RunState checked;
    const std::string report =
        test::runReport(test::optionsFor(Operation::check, f, true), &checked);
    EXPECT_EQ(checked.matchedCount, count);
    // One line per file plus the four line breaks of the long summary.
    EXPECT_EQ(countOf(report, '\n'), count + 4) << report;
    for (const auto& plain : {std::string("-rf"), std::string("--help"), std::string(255, 'n')}) {
        EXPECT_NE(report.find("\n✅ Digests for " + f + "/" + plain + " @ ??\n"), std::string::npos)
            << plain;
    }
    EXPECT_NE(report.find("✅ Digests for " + f + "/line\\x0afeed @ ??\n"), std::string::npos);
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
        if (index % 1000 == 0) {
            ASSERT_EQ(::write(fd, name, 7), 7);
        }
        ::close(fd);
    }
    // A sample carries digests (a right one, a wrong one); writing all
    // 100,000 would cost the suite far more than the walk itself.
    for (int index = 0; index < kEntries; index += 1000) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06d", index);
        const std::string stored = index % 2000 == 0 ? name : "other";
        test::storeAttribute(f + name, kDigestAttributeName, digestOfBytes(stored).view());
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

TEST(HostileTree, AChainOfFoldersThousandsDeepIsWalkedToTheBottom)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    constexpr int kDepth = 3000;
    int folder = ::open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
        const int child = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        ASSERT_GE(child, 0);
        folder = child;
    }
    const int file = ::openat(folder, "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "deep", 4), 4);
    ::close(file);
    ::close(folder);

    RunState tagged;
    EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f), &tagged),
              "Tagged a total of 1 files in " + f + " with 0 errors.");
    RunState checked;
    const std::string report =
        test::runReport(test::optionsFor(Operation::check, f, true), &checked);
    EXPECT_EQ(checked.matchedCount, 1);
    std::string bottom = f;
    for (int level = 0; level < kDepth; ++level) {
        bottom += "/d";
    }
    EXPECT_TRUE(report.starts_with("✅ Digests for " + bottom + "/bottom @ ??\n"));
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
        "❌ Couldn't read " + f + "/a-unreadable: " + reason(EACCES) + "\n" + "❌ Couldn't read " +
        f + "/b-not-enterable/inner: " + reason(EACCES) + "\n" + "❌ Couldn't read " + f +
        "/b-not-enterable/sub: " + reason(EACCES) + "\n";
    const std::string expectedRetag =
        cannotRead + "❌ Couldn't tag " + readOnly + "\n⚠️ Tagged " + own + "\n" +
        "Retagged a total of 4 files in " + f +
        "\t0 matched digest correctly\n\t0 were retagged\n\t1 were tagged for the first time.";
    const std::string expectedTag = cannotRead + "❌ Couldn't tag " + readOnly + ": " +
                                    reason(EACCES) + "\n" + "Tagged a total of 4 files in " + f +
                                    " with 4 errors.";
    const auto status = test::runUnprivileged([&] {
        const std::string retag =
            test::runReport(test::optionsFor(Operation::retag, f, false, true));
        const std::string tag = test::runReport(test::optionsFor(Operation::tag, f, false, true));
        if (retag != expectedRetag || tag != expectedTag) {
            std::fprintf(stderr, "Retag:\n%s\nTag:\n%s\n", retag.c_str(), tag.c_str());
            return 1;
        }
        return 0;
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
    struct Unmount
    {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{f};
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
    EXPECT_EQ(
        test::runReport(test::optionsFor(Operation::check, f, true)),
        "⚠️ No digest found for " + f + "/a @ ??\n⚠️ No digest found for " + f +
            "/b @ ??\nChecked a total of 2 files in " + f +
            "\n\t0 matched digest correctly\n\t0 didn't match their digest\n\t2 had no digest."
            "\nBuffer size 4 giving actual buffer 4096");
}

} // namespace
} // namespace quelby
