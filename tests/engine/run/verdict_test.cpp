#include "engine/run/verdict.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace quelby {
namespace {

// The command-line test has the boundaries on real files; here the stamps it
// cannot easily make: far times, leap days and malformed texts.
TEST(Verdict, TellsAnEditFromDamageByTheModificationTimeAgainstTheStampsWholeSecond)
{
    ::setenv("TZ", "Pacific/Kiritimati", 1); // UTC+14: a local reading would be 14 hours off
    ::tzset();
    constexpr std::time_t kStamped = 1710003942; // 2024-03-09T17_05_42Z
    const std::string stamp = "2024-03-09T17_05_42Z";
    const std::string edited = "modified after it was tagged";
    const std::string damaged = "not modified since it was tagged: possible damage";
    const std::string unknown = "no time stamp to tell";
    const struct
    {
        std::optional<std::string> stamp;
        struct timespec modified;
        std::string name, text;
    } cases[] = {
        {stamp, {kStamped + 86400 * 400, 5}, "edited", edited},
        {stamp, {kStamped, 0}, "unknown", unknown},
        {stamp, {kStamped - 1, 999999999}, "damaged", damaged},
        {stamp, {0, 0}, "damaged", damaged},
        {"", {kStamped - 100, 0}, "unknown", unknown},
        {"2024-02-29T00_00_00Z", {1709164800 - 1, 0}, "damaged", damaged},
        {"2024-02-29T00_00_00Z", {1709164800 + 1, 0}, "edited", edited},
        {"1970-01-01T00_00_00Z", {-1, 999999999}, "damaged", damaged},
        {"2024-03-09 17:05:42Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T17:05:42Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T17_05_42+", {0, 0}, "unknown", unknown},
        {"2024-13-09T17_05_42Z", {0, 0}, "unknown", unknown},
        {"2023-02-29T17_05_42Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T24_05_42Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T17_05_60Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T17_05_4Z", {0, 0}, "unknown", unknown},
        {"2024-03-09T17_05_42Z\n", {0, 0}, "unknown", unknown},
        {"+024-03-09T17_05_42Z", {0, 0}, "unknown", unknown},
    };
    for (const auto& c : cases) {
        const Verdict verdict = verdictFor(c.modified, c.stamp);
        EXPECT_EQ(verdictName(verdict), c.name)
            << c.stamp.value_or("(none)") << " " << c.modified.tv_sec << "." << c.modified.tv_nsec;
        EXPECT_EQ(verdictText(verdict), c.text);
    }
    ::unsetenv("TZ");
    ::tzset();
}

} // namespace
} // namespace quelby
