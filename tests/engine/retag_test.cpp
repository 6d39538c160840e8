#include "run_fixture.h"
#include "support/scripted_system_calls.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace quelby {
namespace {

using test::optionsFor;
using test::runReport;
using test::TempTree;

TEST(Retag, ReproducesTheVerboseAndPlainReportsOfAMixedFolder)
{
    for (bool verbose : {true, false}) {
        test::PhotoFolder photos(true);
        if (!photos.lockable) {
            GTEST_SKIP() << "chattr +i is not possible here";
        }
        const std::string& f = photos.root;
        RunState state;
        const std::string report = runReport(optionsFor(Operation::retag, f, verbose), &state);
        if (verbose) {
            EXPECT_EQ(report, "✅ Digests for " + f +
                                  "/a.jpg\n"
                                  "⚠️ Retagged " +
                                  f +
                                  "/b.jpg\n"
                                  "❌ Couldn't tag " +
                                  f +
                                  "/locked.jpg\n"
                                  "⚠️ Tagged " +
                                  f +
                                  "/new.jpg\n"
                                  "✅ Digests for " +
                                  f +
                                  "/sub/c.jpg\n"
                                  "Retagged a total of 5 files in " +
                                  f +
                                  "\n"
                                  "\t2 matched digest correctly\n"
                                  "\t1 were retagged\n"
                                  "\t1 were tagged for the first time.\n"
                                  "Buffer size 4 giving actual buffer 4096");
        } else {
            EXPECT_EQ(report, "⚠️ Retagged " + f +
                                  "/b.jpg\n"
                                  "❌ Couldn't tag " +
                                  f +
                                  "/locked.jpg\n"
                                  "⚠️ Tagged " +
                                  f +
                                  "/new.jpg\n"
                                  "Retagged a total of 5 files in " +
                                  f +
                                  "\t2 matched digest correctly\n"
                                  "\t1 were retagged\n"
                                  "\t1 were tagged for the first time.");
        }
        EXPECT_EQ(state.failureCount, 1);
        EXPECT_EQ(test::storedAttribute(photos.locked, kDigestAttributeName), std::nullopt);
        test::setImmutable(photos.locked, false);
    }
}

TEST(Retag, ASecondRunMatchesEverythingAndLeavesEveryStampAlone)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    const auto stale = tree.file("f/stale", "now");
    test::storeAttribute(stale, kDigestAttributeName, std::string(64, 'e'));
    const auto empty = tree.file("f/empty-value", "e");
    test::storeAttribute(empty, kDigestAttributeName, "");
    tree.file("f/untagged", "u");

    RunState first;
    runReport(optionsFor(Operation::retag, folder, false, true), &first);
    EXPECT_EQ(first.retaggedCount, 1);
    EXPECT_EQ(first.firstTagCount, 2);
    const auto stamp = test::storedAttribute(stale, kTimeAttributeName);
    ASSERT_TRUE(stamp);
    test::storeAttribute(stale, kTimeAttributeName, "marker");

    RunState second;
    const std::string report =
        runReport(optionsFor(Operation::retag, folder, false, true), &second);
    EXPECT_EQ(report, "Retagged a total of 3 files in " + folder +
                          "\t3 matched digest correctly\n\t0 were retagged\n"
                          "\t0 were tagged for the first time.");
    EXPECT_EQ(test::storedAttribute(stale, kTimeAttributeName), "marker");
    EXPECT_EQ(test::storedAttribute(empty, kDigestAttributeName),
              std::string(digestOfBytes("e").view()));
}

TEST(Retag, KeepsTheStoredDigestWhenTheAttributeOrTheContentsCannotBeRead)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/photo", "photo");
    test::storeAttribute(path, kDigestAttributeName, "evidence");
    test::ScriptedSystemCalls calls;
    int writes = 0;
    calls.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
        ++writes;
        return calls.SystemCalls::setAttribute(fd, name, value, size);
    };

    calls.onGetAttribute = [](int, const char*, void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::retag, folder), &state)
                  .substr(0, 100)
                  .find("❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n"),
              0u);
    calls.onGetAttribute = nullptr;

    calls.onRead = [](int, void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(runReport(optionsFor(Operation::retag, folder, true, true))
                  .find("❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n"),
              0u);
    calls.onRead = nullptr;

    EXPECT_EQ(writes, 0);
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), "evidence");
    EXPECT_EQ(state.totalCount, 1);
    EXPECT_EQ(state.firstTagCount + state.retaggedCount + state.matchedCount, 0);
}

TEST(Retag, AFirstWriteThatFailsIsTriedOnceMoreAndCountsAsFirstTagging)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/photo", "photo");
    test::storeAttribute(path, kDigestAttributeName, "old");
    test::ScriptedSystemCalls calls;
    int attempts = 0;
    calls.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
        if (++attempts == 1) {
            errno = ENOSPC;
            return -1;
        }
        return calls.SystemCalls::setAttribute(fd, name, value, size);
    };
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::retag, folder), &state)
                  .find("⚠️ Tagged " + path + "\n"),
              0u);
    EXPECT_EQ(state.firstTagCount, 1);
    EXPECT_EQ(state.retaggedCount, 0);
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
              std::string(digestOfBytes("photo").view()));
}

} // namespace
} // namespace quelby
