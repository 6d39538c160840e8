#include "run_fixture.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>

namespace quelby {
namespace {

using test::optionsFor;
using test::runReport;
using test::TempTree;

TEST(Tag, TaggedFilesPassCheckAndStampsFollowTheTimeStampOption)
{
    struct Kind
    {
        bool verbose, timeStamps;
    };
    for (const Kind kind :
         {Kind{false, false}, Kind{false, true}, Kind{true, false}, Kind{true, true}}) {
        TempTree tree;
        const auto folder = tree.folder("docs");
        const auto a = tree.file("docs/a.txt", "alpha");
        const auto b = tree.file("docs/deep/er/b.txt", "");
        test::storeAttribute(b, kTimeAttributeName, "old stamp");

        RunState state;
        runReport(optionsFor(Operation::tag, folder, kind.verbose, kind.timeStamps), &state);
        EXPECT_EQ(state.totalCount, 2);
        EXPECT_EQ(state.errorCount, 0);
        EXPECT_EQ(test::storedAttribute(a, kDigestAttributeName),
                  std::string(digestOfBytes("alpha").view()));

        const auto stampA = test::storedAttribute(a, kTimeAttributeName);
        const auto stampB = test::storedAttribute(b, kTimeAttributeName);
        if (kind.timeStamps) {
            ASSERT_TRUE(stampA && stampB);
            EXPECT_TRUE(
                std::regex_match(*stampA, std::regex(R"(\d{4}-\d\d-\d\dT\d\d_\d\d_\d\dZ)")));
            EXPECT_EQ(stampB->size(), 20u);
        } else {
            EXPECT_EQ(stampA, std::nullopt);
            EXPECT_EQ(stampB, "old stamp");
        }

        RunState checked;
        runReport(optionsFor(Operation::check, folder), &checked);
        EXPECT_EQ(checked.matchedCount, 2);
        EXPECT_EQ(checked.failureCount, 0);
    }
}

TEST(Tag, PrintsTheShortAndLongSummaryAndAStableDigestNumber)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    tree.file("f/one", "same");
    tree.file("f/two", "same");
    EXPECT_EQ(runReport(optionsFor(Operation::tag, folder)),
              "Tagged a total of 2 files in " + folder + " with 0 errors.");

    const std::string verbose = runReport(optionsFor(Operation::tag, folder, true));
    const std::regex form("Digest (-?\\d+) for " + folder + "/one\nDigest (-?\\d+) for " + folder +
                          "/two\nTagged a total of 2 files in " + folder +
                          " with 0 errors.\nBuffer size 4");
    std::smatch numbers;
    ASSERT_TRUE(std::regex_match(verbose, numbers, form)) << verbose;
    EXPECT_EQ(numbers[1], numbers[2]); // equal contents, equal number within one process
}

TEST(Tag, NamesEachFileItCouldNotTagAndCountsIt)
{
    TempTree tree;
    const auto folder = tree.folder("f");
    const auto locked = tree.file("f/locked.jpg", "x");
    tree.file("f/open.jpg", "y");
    test::storeAttribute(locked, kDigestAttributeName, "kept");
    if (!test::setImmutable(locked, true)) {
        GTEST_SKIP() << "chattr +i is not possible here";
    }
    for (bool timeStamps : {false, true}) {
        RunState state;
        const std::string report =
            runReport(optionsFor(Operation::tag, folder, false, timeStamps), &state);
        EXPECT_EQ(report, "❌ Couldn't tag " + locked + ": " + std::strerror(EPERM) +
                              "\nTagged a total of 2 files in " + folder + " with 1 errors.");
        EXPECT_EQ(state.failureCount, 1);
    }
    test::setImmutable(locked, false);
    EXPECT_EQ(test::storedAttribute(locked, kDigestAttributeName), "kept");
    EXPECT_EQ(test::storedAttribute(locked, kTimeAttributeName), std::nullopt);
}

} // namespace
} // namespace quelby
