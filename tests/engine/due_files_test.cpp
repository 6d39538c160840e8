#include "engine/scrub/due_files.h"

#include <gtest/gtest.h>

namespace quelby::scrub {
namespace {

constexpr Seconds kNow = 1'800'000'000;

SurveyedFile seen(std::string path, std::int64_t size = 10)
{
    SurveyedFile file;
    file.relativePath = std::move(path);
    file.size = size;
    file.modifiedNs = 5;
    file.changedNs = 7;
    return file;
}

KnownFile known(std::optional<Seconds> verifiedAt, LastResult result = LastResult::matched)
{
    KnownFile file;
    file.size = 10;
    file.modifiedNs = 5;
    file.changedNs = 7;
    file.verifiedAt = verifiedAt;
    file.result = result;
    return file;
}

TEST(DueFiles, ProblemsAndChangesComeFirstThenNewFilesThenTheLongestUnverified)
{
    // In walk order; the expected reading order is in each name.
    const std::vector<SurveyedFile> surveyed{
        seen("a-not-due"),
        seen("b-6-oldest-but-one"),
        seen("c-3-new"),
        seen("d-1-changed", 11),
        seen("e-7-old"),
        seen("f-4-new"),
        seen("g-2-problem"),
        seen("h-5-oldest"),
        seen("i-no-digest-unchanged"),
    };
    KnownFiles state{
        {"a-not-due", known(kNow - 29 * kSecondsPerDay)},
        {"b-6-oldest-but-one", known(kNow - 40 * kSecondsPerDay)},
        {"d-1-changed", known(kNow - kSecondsPerDay)},
        {"e-7-old", known(kNow - 31 * kSecondsPerDay)},
        {"g-2-problem", known(kNow - kSecondsPerDay, LastResult::readFailed)},
        {"h-5-oldest", known(kNow - 90 * kSecondsPerDay)},
        {"i-no-digest-unchanged", known(std::nullopt, LastResult::noDigest)},
    };
    std::vector<SurveyedFile> linked = surveyed;
    for (SurveyedFile& file : linked) {
        const auto found = state.find(file.relativePath);
        file.known = found == state.end() ? nullptr : &found->second;
    }
    std::vector<std::string> order;
    for (const std::size_t index : dueOrder(linked, kNow, 30)) {
        order.push_back(surveyed[index].relativePath);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"d-1-changed", "g-2-problem", "c-3-new", "f-4-new",
                                               "h-5-oldest", "b-6-oldest-but-one", "e-7-old"}));
}

TEST(DueFiles, AFileWithoutADigestIsDueOnceItChangesOrAManifestListsIt)
{
    KnownFile untagged = known(std::nullopt, LastResult::noDigest);
    SurveyedFile file = seen("x");
    file.known = &untagged;
    EXPECT_FALSE(dueClass(file, kNow, 30));
    file.changedNs = 8; // a digest written into an attribute changes the status time
    EXPECT_EQ(dueClass(file, kNow, 30), DueClass::problemOrChanged);
    file = seen("x");
    file.known = &untagged;
    file.hasDigest = true;
    EXPECT_EQ(dueClass(file, kNow, 30), DueClass::problemOrChanged);
    KnownFile fresh = known(kNow);
    file.known = &fresh;
    file.size = -1; // could not be looked at
    EXPECT_EQ(dueClass(file, kNow, 30), DueClass::problemOrChanged);
}

} // namespace
} // namespace quelby::scrub
