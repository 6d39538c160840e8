#include "engine/text/display_text.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>
#include <optional>
#include <random>

namespace quelby {
namespace {

TEST(DisplayText, EscapesEveryByteThatCouldHideOrForgeANameAndNothingElse)
{
    const struct
    {
        std::string name, shown;
    } cases[] = {
        // A typed escape and the byte it names must not read alike.
        {"a\\x0ab", "a\\x5cx0ab"},
        {"a\nb", "a\\x0ab"},
        {"del\x7f", "del\\x7f"},
        {"c1\xc2\x85", "c1\\xc2\\x85"},
        // Not UTF-8: lone continuation, overlong, surrogates, bytes never
        // allowed, a sequence cut off at the end.
        {"x\x80y", "x\\x80y"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"\xed\xa0\x80\xed\xbf\xbf", "\\xed\\xa0\\x80\\xed\\xbf\\xbf"},
        {"\xf5\xff", "\\xf5\\xff"},
        {"ab\xe2\x82", "ab\\xe2\\x82"},
        {"\xf0\x9f\x98", "\\xf0\\x9f\\x98"},
        // The invisible code points, all of them in one name.
        {"\xc2\xad\xd8\x9c\xe1\xa0\x8e\xe2\x80\x8b\xe2\x80\x8c\xe2\x80\x8d\xe2\x80\x8e"
         "\xe2\x80\x8f\xe2\x81\xa0\xe2\x81\xa1\xe2\x81\xa2\xe2\x81\xa3\xe2\x81\xa4\xef\xbb\xbf"
         "\xe2\x80\xae\xe2\x81\xa9",
         "\\xc2\\xad\\xd8\\x9c\\xe1\\xa0\\x8e\\xe2\\x80\\x8b\\xe2\\x80\\x8c\\xe2\\x80\\x8d"
         "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x81\\xa0\\xe2\\x81\\xa1\\xe2\\x81\\xa2"
         "\\xe2\\x81\\xa3\\xe2\\x81\\xa4\\xef\\xbb\\xbf\\xe2\\x80\\xae\\xe2\\x81\\xa9"},
        // Their neighbours are shown: a hair space, U+2027, U+2065, U+FEFE.
        {"\xe2\x80\x8a\xe2\x80\xa7\xe2\x81\xa5\xef\xbb\xbe",
         "\xe2\x80\x8a\xe2\x80\xa7\xe2\x81\xa5\xef\xbb\xbe"},
        // Accents, an emoji with its variation selector and a skin tone stay;
        // the joiner inside a family emoji does not.
        {"caf\xc3\xa9 \xe2\x9d\xa4\xef\xb8\x8f \xf0\x9f\x91\x8b\xf0\x9f\x8f\xbd",
         "caf\xc3\xa9 \xe2\x9d\xa4\xef\xb8\x8f \xf0\x9f\x91\x8b\xf0\x9f\x8f\xbd"},
        {"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9",
         "\xf0\x9f\x91\xa8\\xe2\\x80\\x8d\xf0\x9f\x91\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapedForReport(c.name), c.shown) << c.shown;
    }
}

// Reads a report name back: the escape is a left inverse only if every
// backslash in the text starts \x and two lowercase hex digits.
std::optional<std::string> decoded(std::string_view shown)
{
    const auto hexValue = [](char digit) -> int {
        if (digit >= '0' && digit <= '9') {
            return digit - '0';
        }
        return digit >= 'a' && digit <= 'f' ? digit - 'a' + 10 : -1;
    };
    std::string name;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != '\\') {
            name += shown[i];
            continue;
        }
        if (i + 3 >= shown.size() || shown[i + 1] != 'x' || hexValue(shown[i + 2]) < 0 ||
            hexValue(shown[i + 3]) < 0) {
            return std::nullopt;
        }
        name += static_cast<char>(hexValue(shown[i + 2]) * 16 + hexValue(shown[i + 3]));
        i += 3;
    }
    return name;
}

TEST(DisplayText, ReadsBackToExactlyTheNameItCameFromSoNoTwoNamesLookAlike)
{
    // Bytes that matter to the escape, drawn more often than the rest.
    const std::string alphabet = "\\x0a\n\x7f\x80\x8b\x8d\xbb\xbf\xc2\xe2\xef\xed\xf0\xff";
    std::mt19937_64 random(20240309);
    for (int round = 0; round < 20000; ++round) {
        std::string name(random() % 12, '\0');
        for (char& byte : name) {
            byte = random() % 3 == 0 ? static_cast<char>(random())
                                     : alphabet[random() % alphabet.size()];
        }
        const std::string shown = escapedForReport(name);
        ASSERT_EQ(decoded(shown), name) << shown;
        ASSERT_TRUE(isValidUtf8(shown)) << shown;
        ASSERT_EQ(shown.find('\n'), std::string::npos) << shown;
    }
}

// Each word is read back by bash itself: a name that ended the command early
// or named another folder would print other bytes.
TEST(DisplayText, AShellWordIsReadBackAsExactlyItsPathOnOneLine)
{
    const std::pair<std::string, std::string> words[] = {
        {"/home/ada/Pictures-2024_v1.0+a,b:c@d%e=f", "/home/ada/Pictures-2024_v1.0+a,b:c@d%e=f"},
        {"/home/ada/my photos", "'/home/ada/my photos'"},
        {"/it's $HOME `id` *;~", "'/it'\\''s $HOME `id` *;~'"},
        {"/caf\xc3\xa9", "'/caf\xc3\xa9'"},
        {"/a\nb; rm -rf ~", "$'/a\\x0ab; rm -rf ~'"},
        {"/back\\slash'\xff", "$'/back\\x5cslash\\'\\xff'"},
        {"", "''"},
    };
    test::TempTree tree;
    for (const auto& [path, expected] : words) {
        const std::string word = shellWord(path);
        EXPECT_EQ(word, expected);
        EXPECT_EQ(word.find('\n'), std::string::npos) << word;
        test::writeWholeFile(tree.path("say"), "printf %s " + word + "\n");
        ASSERT_EQ(test::runCommand("bash " + tree.path("say") + " >" + tree.path("said")), 0)
            << word;
        EXPECT_EQ(test::readWholeFile(tree.path("said")), path) << word;
    }
}

} // namespace
} // namespace quelby
