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

TEST(Check, ReproducesTheVerboseAndPlainReportsOfAFolderWithAChangedAndAnUntaggedFile)
{
    test::PhotoFolder photos(false);
    const std::string& f = photos.root;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f, true)),
              inFolder("✅ Digests for {F}/a.jpg @ 2024-03-09T17_05_42Z\n"
                       "❌ Digests for {F}/b.jpg @ 2024-03-09T17_05_43Z aren't equal.\n"
                       "⚠️ No digest found for {F}/new.jpg @ ??\n"
                       "✅ Digests for {F}/sub/c.jpg @ 2024-03-09T17_05_44Z\n"
                       "Checked a total of 4 files in {F}\n\t2 matched digest correctly\n"
                       "\t1 didn't match their digest\n\t1 had no digest.\n"
                       "Buffer size 4 giving actual buffer 4096",
                       f));
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f), &state),
              inFolder("❌ Digests for {F}/b.jpg aren't equal.\n"
                       "Checked a total of 4 files in {F}\t2 matched digest correctly\n"
                       "\t1 didn't match their digest\n\t1 had no digest.",
                       f));
    EXPECT_EQ(state.failureCount, 1);
}

TEST(Check, JudgesStoredValuesByTheirExact32BytesAndShowsStampsSafely)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    const auto path = tree.file("f/x", "contents");
    const std::string digest(digestOfBytes("contents").view());
    const struct
    {
        std::string stored, stamp, currentLine, legacyLine;
    } cases[] = {
        {digest, "2024-01-01T00_00_00Z", "✅ Digests for {F}/x @ 2024-01-01T00_00_00Z\n", ""},
        {digest, "caf\xe9", "✅ Digests for {F}/x @ ??\n", ""},
        {digest, "a\n✅ forged", "✅ Digests for {F}/x @ a\\x0a✅ forged\n", ""},
        {digest, "t\x7f", "✅ Digests for {F}/x @ t\\x7f\n", ""},
        {digest.substr(0, 31), "t", "❌ Digests for {F}/x @ t aren't equal.\n", ""},
        {digest.substr(0, 31) + char(digest[31] ^ 1), "t",
         "❌ Digests for {F}/x @ t aren't equal.\n", ""},
        {digest + '\0', "t", "❌ Digests for {F}/x @ t aren't equal.\n", ""},
        {std::string(64, 'a'), "t", "❌ Digests for {F}/x @ t aren't equal.\n", ""},
        {"", "t", "⚠️ No digest found for {F}/x @ t\n", "⚠️ No digest found for {F}/x\n"},
    };
    for (const auto& c : cases) {
        test::storeAttribute(path, kDigestAttributeName, c.stored);
        test::storeAttribute(path, kTimeAttributeName, c.stamp);
        auto options = optionsFor(Operation::check, f, true);
        std::string report = runReport(options);
        EXPECT_EQ(report.substr(0, report.find("Checked")), inFolder(c.currentLine, f));
        options.backEnd = DigestBackEnd::legacy;
        report = runReport(options);
        EXPECT_EQ(report.substr(0, report.find("Checked")),
                  inFolder(c.legacyLine.empty() ? c.currentLine : c.legacyLine, f));
    }
}

TEST(Check, ReportsADigestAttributeThatCannotBeReadInsteadOfCallingItMissing)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    test::tagByHand(tree.file("f/a", "a"), "2024-03-09T17_05_42Z");
    test::ScriptedSystemCalls calls;
    calls.onGetAttribute = [](int, const char*, void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f), &state),
              inFolder("❌ Couldn't read {F}/a: " + std::string(std::strerror(EIO)) +
                           "\nChecked a total of 1 files in {F}\t0 matched digest correctly\n"
                           "\t0 didn't match their digest\n\t0 had no digest.",
                       f));
    EXPECT_EQ(state.failureCount, 1);
}

} // namespace
} // namespace quelby
