#include "engine/time_stamp.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace quelby {
namespace {

// 9 March 2024, 17:05:42 UTC.
const auto kMoment = std::chrono::system_clock::from_time_t(1710003942);

TEST(TimeStamp, IsUtcWhateverTheLocalTimeZone)
{
    ::setenv("TZ", "Pacific/Kiritimati", 1); // UTC+14: the local date is already 10 March
    ::tzset();
    EXPECT_EQ(timeStampText(kMoment), "2024-03-09T17_05_42Z");
    EXPECT_EQ(timeStampText(kMoment + std::chrono::milliseconds(999)), "2024-03-09T17_05_42Z");
    EXPECT_EQ(timeStampText(std::chrono::system_clock::from_time_t(0)), "1970-01-01T00_00_00Z");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(TimeStamp, IsTheSameUnderANonCLocale)
{
    const char* candidates[] = {"de_DE.UTF-8", "ar_EG.UTF-8", "th_TH.UTF-8", "fr_FR.UTF-8"};
    for (const char* name : candidates) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            const std::string text = timeStampText(kMoment);
            std::setlocale(LC_ALL, "C");
            EXPECT_EQ(text, "2024-03-09T17_05_42Z") << "under " << name;
            return;
        }
    }
    GTEST_SKIP() << "no non-C locale is installed here (locale -a lists none)";
}

} // namespace
} // namespace quelby
