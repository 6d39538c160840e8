#include "engine/scrub/due_files.h"
#include "engine/scrub/known_file_index.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>

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
        seen("b-7-oldest-but-one"),
        seen("c-3-new"),
        seen("d-1-changed", 11),
        seen("e-8-old"),
        seen("f-4-new"),
        seen("g-2-problem"),
        seen("h-6-oldest"),
        seen("i-no-digest-unchanged"),
        seen("j-5-verified-before-time-began"),
    };
    KnownFiles state{
        {"a-not-due", known(kNow - 29 * kSecondsPerDay)},
        {"b-7-oldest-but-one", known(kNow - 40 * kSecondsPerDay)},
        {"d-1-changed", known(kNow - kSecondsPerDay)},
        {"e-8-old", known(kNow - 31 * kSecondsPerDay)},
        {"g-2-problem", known(kNow - kSecondsPerDay, LastResult::readFailed)},
        {"h-6-oldest", known(kNow - 90 * kSecondsPerDay)},
        {"i-no-digest-unchanged", known(std::nullopt, LastResult::noDigest)},
        // A time no clock could give, read from a damaged or forged state.
        {"j-5-verified-before-time-began", known(std::numeric_limits<Seconds>::min())},
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
                                               "j-5-verified-before-time-began", "h-6-oldest",
                                               "b-7-oldest-but-one", "e-8-old"}));
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

// The walk meets "a" (a folder) before "a.txt", which byte order puts first:
// every file is found whatever the order it is asked for in, and only those
// asked for are met.
TEST(KnownFileIndex, FindsEachPathInAnyOrderAndMarksOnlyThoseFound)
{
    std::vector<KnownEntry> entries;
    for (const char* path : {"a.txt", "a/b", "a/c", "b\xff", "z"}) {
        entries.push_back({path, known(std::nullopt)});
    }
    KnownFileIndex index(std::move(entries));
    for (const char* path : {"a/b", "a/c", "a.txt", "z", "b\xff"}) {
        KnownFile* found = index.find(path);
        ASSERT_NE(found, nullptr) << path;
        EXPECT_EQ(found, &std::ranges::find(index.entries(), std::string(path),
                                            &KnownFileIndex::Entry::path)
                              ->file);
    }
    EXPECT_EQ(index.find("a"), nullptr);
    EXPECT_EQ(index.find("zz"), nullptr);
    EXPECT_TRUE(std::ranges::all_of(index.entries(), &KnownFileIndex::Entry::met));
    KnownFileIndex fresh({{"a", known(1)}, {"b", known(2)}});
    EXPECT_NE(fresh.find("b"), nullptr);
    EXPECT_FALSE(fresh.entries()[0].met);
}

} // namespace
} // namespace quelby::scrub
