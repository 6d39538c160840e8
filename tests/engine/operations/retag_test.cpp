#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace quelby {
namespace {

using test::inFolder;
using test::optionsFor;
using test::runReport;

TEST(Retag, ReproducesTheVerboseAndPlainReportsOfAMixedFolder)
{
    for (bool verbose : {true, false}) {
        test::PhotoFolder photos(true);
        if (!photos.lockable) {
            GTEST_SKIP() << "chattr +i is not possible here";
        }
        const std::string report = runReport(optionsFor(Operation::retag, photos.root, verbose));
        test::setImmutable(photos.locked, false);
        EXPECT_EQ(report,
                  inFolder(verbose ? "✅ Digests for {F}/a.jpg\n⚠️ Retagged {F}/b.jpg\n"
                                     "❌ Couldn't tag {F}/locked.jpg: Operation not permitted\n⚠️ Tagged {F}/new.jpg\n"
                                     "✅ Digests for {F}/sub/c.jpg\n"
                                     "Retagged a total of 5 files in {F}\n"
                                     "\t2 matched digest correctly\n\t1 were retagged\n"
                                     "\t1 were tagged for the first time.\n"
                                     "Buffer size 4 giving actual buffer 4096"
                                   : "⚠️ Retagged {F}/b.jpg\n❌ Couldn't tag {F}/locked.jpg: Operation not permitted\n"
                                     "⚠️ Tagged {F}/new.jpg\n"
                                     "Retagged a total of 5 files in {F}\t2 matched digest "
                                     "correctly\n\t1 were retagged\n"
                                     "\t1 were tagged for the first time.",
                           photos.root));
        EXPECT_EQ(test::storedAttribute(photos.locked, kDigestAttributeName), std::nullopt);
    }
}

// Failing system calls through the seam: what reaches the report and the disk.
TEST(Retag, KeepsTheEvidenceWhenReadsFailAndRetriesAFailedWriteOnce)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    const auto path = tree.file("f/photo", "photo");
    const std::string readFailure = "❌ Couldn't read {F}/photo: " + std::string(std::strerror(EIO));
    const auto eio = [](auto...) -> ssize_t {
        errno = EIO;
        return -1;
    };
    test::ScriptedSystemCalls calls;
    int writes = 0;
    calls.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
        if (++writes == 1 && calls.onRead == nullptr && calls.onGetAttribute == nullptr) {
            errno = ENOSPC;
            return -1;
        }
        return calls.SystemCalls::setAttribute(fd, name, value, size);
    };
    for (const bool attributeFails : {true, false}) {
        test::storeAttribute(path, kDigestAttributeName, "evidence");
        calls.onGetAttribute = attributeFails ? decltype(calls.onGetAttribute)(eio) : nullptr;
        calls.onRead = attributeFails ? nullptr : decltype(calls.onRead)(eio);
        RunState state;
        EXPECT_EQ(runReport(optionsFor(Operation::retag, f, true, true), &state)
                      .find(inFolder(readFailure, f)),
                  0u);
        EXPECT_EQ(state.firstTagCount + state.retaggedCount + state.matchedCount, 0);
    }
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), "evidence");

    // The stored digest differed: a second write that succeeds is still a retag.
    calls.onGetAttribute = nullptr;
    calls.onRead = nullptr;
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::retag, f), &state)
                  .find(inFolder("⚠️ Retagged {F}/photo\n", f)),
              0u);
    EXPECT_EQ(state.retaggedCount, 1);
    EXPECT_EQ(state.firstTagCount, 0);
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
              std::string(digestOfBytes("photo").view()));
}

} // namespace
} // namespace quelby
