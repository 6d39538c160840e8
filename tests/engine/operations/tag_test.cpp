#include "engine/run/time_stamp.h"
#include "engine/run_fixture.h"

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

} // namespace
} // namespace quelby
