#include "cli/progress_line.h"
#include "engine/display_text.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace quelby::cli {
namespace {

// Columns on a terminal, counting characters from U+1100 as two.
int columns(const std::string& text)
{
    int count = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xc0u) != 0x80u) {
            count += byte >= 0xe1 ? 2 : 1;
        }
    }
    return count;
}

TEST(ProgressLine, ShowsCountsSpeedAndAsMuchOfThePathEndAsFitsTheTerminal)
{
    EXPECT_EQ(progressText(RunProgress{3, 12000, "/data/a.txt"}, 2.0, 80),
              "3 files  12.0 kB  6.0 kB/s  /data/a.txt");
    EXPECT_EQ(progressText(RunProgress{1, 0, "/x"}, 0.0, 80), "1 file  0 B  0 B/s  /x");
    const std::string folder = "/very/long/folder/name/that/goes/on/and/on";
    const std::vector<std::string> paths{
        folder + "/file.txt",
        folder + "/caf\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9.txt",
        folder + "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
        folder + "/\xf0\x9f\x93\xb7\xf0\x9f\x93\xb7\xf0\x9f\x93\xb7\xf0\x9f\x93\xb7",
    };
    for (const std::string& path : paths) {
        for (int width = 1; width <= 70; ++width) {
            const std::string text = progressText(RunProgress{12, 3456789, path}, 1.0, width);
            EXPECT_LE(columns(text), width - 1 < 0 ? 0 : width - 1) << width << " " << text;
            EXPECT_EQ(withInvalidUtf8Escaped(text), text) << "cut inside a character: " << text;
            const auto ellipsis = text.find("...");
            if (ellipsis != std::string::npos) {
                EXPECT_TRUE(path.ends_with(text.substr(ellipsis + 3))) << text;
            }
        }
    }
    EXPECT_EQ(progressText(RunProgress{12, 3456789, paths[0]}, 1.0, 40),
              "12 files  3.5 MB  3.5 MB/s  ...file.txt");
}

TEST(ProgressLine, RedrawsAtMostFourTimesASecondAndErasesCleanly)
{
    std::ostringstream terminal;
    const Clock::time_point start{};
    ProgressLine line(
        terminal, [] { return 80; }, start);
    line.update(RunProgress{1, 10, "/a"}, start + std::chrono::milliseconds(100));
    EXPECT_EQ(terminal.str(), "") << "too soon after the start";
    line.update(RunProgress{2, 20, {}}, start + std::chrono::milliseconds(260));
    EXPECT_EQ(terminal.str(), "") << "waits for a file's name";
    line.update(RunProgress{2, 20, "/b"}, start + std::chrono::milliseconds(300));
    line.update(RunProgress{3, 30, "/c"}, start + std::chrono::milliseconds(400));
    line.erase();
    line.restore();
    line.erase();
    const std::string shown = "\r2 files  20 B  67 B/s  /b\x1b[K";
    EXPECT_EQ(terminal.str(), shown + "\r\x1b[K" + shown + "\r\x1b[K");
}

} // namespace
} // namespace quelby::cli
