#include "engine/run/time_stamp.h"
#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <gtest/gtest.h>

namespace quelby {
namespace {

using test::inFolder;
using test::optionsFor;
using test::runReport;

TEST(Tag, WritesDigestsThatPassCheckAndStampsOnlyWhenAsked)
{
    for (const bool verbose : {false, true}) {
        for (const bool timeStamps : {false, true}) {
            test::TempTree tree;
            const auto f = tree.folder("docs");
            const auto a = tree.file("docs/a", "same");
            const auto b = tree.file("docs/deep/b", "same");
            test::storeAttribute(b, kTimeAttributeName, "old stamp");

            const std::string report =
                runReport(optionsFor(Operation::tag, f, verbose, timeStamps));
            if (verbose) {
                // Equal digests give equal numbers within one process.
                const std::string first = report.substr(7, report.find(" for ") - 7);
                EXPECT_EQ(first.find_first_not_of("-0123456789"), std::string::npos) << report;
                EXPECT_EQ(report, inFolder("Digest " + first + " for {F}/a\nDigest " + first +
                                               " for {F}/deep/b\nTagged a total of 2 files in {F} "
                                               "with 0 errors.\nBuffer size 4",
                                           f));
            } else {
                EXPECT_EQ(report, inFolder("Tagged a total of 2 files in {F} with 0 errors.", f));
            }
            EXPECT_EQ(test::storedAttribute(a, kDigestAttributeName),
                      std::string(digestOfBytes("same").view()));
            const auto stamp = test::storedAttribute(b, kTimeAttributeName);
            if (timeStamps) {
                EXPECT_TRUE(stamp && parsedTimeStamp(*stamp)) << stamp.value_or("none");
            } else {
                EXPECT_EQ(stamp, "old stamp");
            }
            RunState checked;
            runReport(optionsFor(Operation::check, f), &checked);
            EXPECT_EQ(checked.matchedCount, 2);
        }
    }
}

// What tagging again may cost: with newOnly nothing of a tagged file, else a count of the
// differing digests it replaced.
TEST(Tag, NewOnlyNeitherReadsNorWritesATaggedFileAndEveryRunCountsTheEvidenceItReplaced)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    const auto changed = tree.file("f/changed", "changed since");
    const auto fresh = tree.file("f/fresh", "fresh");
    const auto same = tree.file("f/same", "same");
    test::storeAttribute(changed, kDigestAttributeName, digestOfBytes("as tagged").view());
    test::storeAttribute(same, kDigestAttributeName, digestOfBytes("same").view());
    test::ScriptedSystemCalls calls;
    int writes = 0;
    calls.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
        ++writes;
        return calls.SystemCalls::setAttribute(fd, name, value, size);
    };

    RunOptions newOnly = optionsFor(Operation::tag, f, false, true);
    newOnly.newOnly = true;
    RunState state;
    EXPECT_EQ(runReport(newOnly, &state),
              inFolder("Tagged a total of 1 files in {F} with 0 errors.\n"
                       "2 files already had a digest and were left as they were.",
                       f));
    EXPECT_EQ(state.bytesRead, 5); // "fresh" alone
    EXPECT_EQ(writes, 2);          // its digest and its stamp
    EXPECT_EQ(state.replacedCount, 0);
    EXPECT_EQ(test::storedAttribute(changed, kDigestAttributeName),
              std::string(digestOfBytes("as tagged").view()));
    EXPECT_EQ(test::storedAttribute(changed, kTimeAttributeName), std::nullopt);
    EXPECT_EQ(test::storedAttribute(fresh, kDigestAttributeName),
              std::string(digestOfBytes("fresh").view()));

    // Only the digest that differed counts; an equal one replaced proves nothing lost.
    for (const Operation operation : {Operation::tag, Operation::retag}) {
        test::storeAttribute(changed, kDigestAttributeName, digestOfBytes("as tagged").view());
        RunState again;
        runReport(optionsFor(operation, f), &again);
        EXPECT_EQ(again.replacedCount, 1);
        EXPECT_EQ(test::storedAttribute(changed, kDigestAttributeName),
                  std::string(digestOfBytes("changed since").view()));
    }
    newOnly.folder = tree.folder("one");
    tree.file("one/tagged", "x");
    test::storeAttribute(tree.path("one/tagged"), kDigestAttributeName, "not even a digest");
    EXPECT_EQ(runReport(newOnly), inFolder("Tagged a total of 0 files in {F} with 0 errors.\n"
                                           "1 file already had a digest and was left as it was.",
                                           newOnly.folder));
}

} // namespace
} // namespace quelby
