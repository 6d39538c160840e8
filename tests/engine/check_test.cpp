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

TEST(Check, ReproducesTheVerboseAndPlainReportsOfAFolderWithAChangedAndAnUntaggedFile)
{
    test::PhotoFolder photos(false);
    const std::string& f = photos.root;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f, true)),
              "✅ Digests for " + f +
                  "/a.jpg @ 2024-03-09T17_05_42Z\n"
                  "❌ Digests for " +
                  f +
                  "/b.jpg @ 2024-03-09T17_05_43Z aren't equal.\n"
                  "⚠️ No digest found for " +
                  f +
                  "/new.jpg @ ??\n"
                  "✅ Digests for " +
                  f +
                  "/sub/c.jpg @ 2024-03-09T17_05_44Z\n"
                  "Checked a total of 4 files in " +
                  f +
                  "\n"
                  "\t2 matched digest correctly\n"
                  "\t1 didn't match their digest\n"
                  "\t1 had no digest.\n"
                  "Buffer size 4 giving actual buffer 4096");
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f), &state),
              "❌ Digests for " + f +
                  "/b.jpg aren't equal.\n"
                  "Checked a total of 4 files in " +
                  f +
                  "\t2 matched digest correctly\n"
                  "\t1 didn't match their digest\n"
                  "\t1 had no digest.");
    EXPECT_EQ(state.failureCount, 1);
}

TEST(Check, JudgesStoredValuesByTheirExact32Bytes)
{
    TempTree tree;
    const auto path = tree.file("f/x", "contents");
    const Digest digest = digestOfBytes("contents");
    const std::string hexText(64, 'a');
    const struct
    {
        std::string stored;
        std::int64_t matched, mismatched, noDigest;
    } cases[] = {
        {std::string(digest.view()), 1, 0, 0},
        {std::string(digest.view().substr(0, 31)), 0, 1, 0},
        {std::string(digest.view()) + '\0', 0, 1, 0},
        {hexText, 0, 1, 0},
        {"", 0, 0, 1},
    };
    for (const auto& c : cases) {
        test::storeAttribute(path, kDigestAttributeName, c.stored);
        RunState state;
        runReport(optionsFor(Operation::check, tree.path("f")), &state);
        EXPECT_EQ(state.matchedCount, c.matched) << c.stored.size();
        EXPECT_EQ(state.mismatchedCount, c.mismatched) << c.stored.size();
        EXPECT_EQ(state.noDigestCount, c.noDigest) << c.stored.size();
        EXPECT_EQ(state.totalCount, 1);
    }
}

TEST(Check, ShowsAnEmptyStoredValueAndOddStampsAsEachBackEndDoes)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    const auto empty = tree.file("f/empty-value", "x");
    test::storeAttribute(empty, kDigestAttributeName, "");
    test::storeAttribute(empty, kTimeAttributeName, "2024-01-01T00_00_00Z");
    const auto badStamp = tree.file("f/latin1-stamp", "y");
    test::tagByHand(badStamp, "caf\xe9");
    const auto forged = tree.file("f/forged-stamp", "z");
    test::tagByHand(forged, "now\n✅ Digests for /etc/passwd @ x");

    auto options = optionsFor(Operation::check, folder, true);
    const std::string current = runReport(options);
    EXPECT_NE(current.find("⚠️ No digest found for " + empty + " @ 2024-01-01T00_00_00Z\n"),
              std::string::npos);
    EXPECT_NE(current.find("✅ Digests for " + badStamp + " @ ??\n"), std::string::npos);
    EXPECT_NE(
        current.find("✅ Digests for " + forged + " @ now\\x0a✅ Digests for /etc/passwd @ x\n"),
        std::string::npos);

    options.backEnd = DigestBackEnd::legacy;
    EXPECT_NE(runReport(options).find("⚠️ No digest found for " + empty + "\n"),
              std::string::npos);
}

TEST(Check, ReportsADigestAttributeThatCannotBeReadInsteadOfCallingItMissing)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    test::tagByHand(tree.file("f/a", "a"), "2024-03-09T17_05_42Z");
    test::ScriptedSystemCalls calls;
    calls.onGetAttribute = [](int, const char*, void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    for (bool verbose : {false, true}) {
        RunState state;
        const std::string report = runReport(optionsFor(Operation::check, folder, verbose), &state);
        EXPECT_EQ(report.substr(0, report.find("Checked")),
                  "❌ Couldn't read " + folder + "/a: " + std::strerror(EIO) + "\n");
        EXPECT_EQ(state.totalCount, 1);
        EXPECT_EQ(state.noDigestCount + state.matchedCount + state.mismatchedCount, 0);
        EXPECT_EQ(state.failureCount, 1);
    }
}

} // namespace
} // namespace quelby
