#pragma once

// Seeded random trees for the property tests: byte names whose shown form is
// known, sizes up to three buffers, folders up to 8 deep, some hard links.

#include "engine/store/tag_store.h"
#include "support/temp_tree.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quelby::test {

inline bool longRun()
{
    const char* wanted = std::getenv("QUELBY_LONG_TESTS");
    return wanted != nullptr && std::string(wanted) == "1";
}

// QUELBY_TEST_SEED reruns one seed; otherwise fresh ones, more for long runs.
inline std::vector<std::uint64_t> testSeeds(std::size_t normalCount, std::size_t longCount)
{
    if (const char* fixed = std::getenv("QUELBY_TEST_SEED"); fixed != nullptr && *fixed != '\0') {
        return {std::strtoull(fixed, nullptr, 10)};
    }
    std::vector<std::uint64_t> seeds(longRun() ? longCount : normalCount);
    std::generate(seeds.begin(), seeds.end(), std::random_device{});
    return seeds;
}

// Each byte as the report writes a byte it escapes.
inline std::string hexEscaped(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string shown;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        shown += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
    }
    return shown;
}

// A code point in UTF-8.
inline std::string utf8(char32_t point)
{
    const auto unit = [](char32_t bits) { return static_cast<char>(bits); };
    if (point < 0x80) {
        return {unit(point)};
    }
    if (point < 0x800) {
        return {unit(0xc0 | point >> 6), unit(0x80 | (point & 0x3f))};
    }
    if (point < 0x10000) {
        return {unit(0xe0 | point >> 12), unit(0x80 | (point >> 6 & 0x3f)),
                unit(0x80 | (point & 0x3f))};
    }
    return {unit(0xf0 | point >> 18), unit(0x80 | (point >> 12 & 0x3f)),
            unit(0x80 | (point >> 6 & 0x3f)), unit(0x80 | (point & 0x3f))};
}

// A piece of a name: its bytes on disk and the text a report must show for
// them, known here without asking the code that escapes. Each piece ends a
// sequence of its own, so pieces side by side escape as they do alone.
struct NamePiece
{
    std::string raw;
    std::string shown;
};

inline NamePiece randomNamePiece(std::mt19937_64& random)
{
    const auto draw = [&](std::uint64_t bound) {
        return static_cast<std::uint32_t>(random() % bound);
    };
    // Code points that act on the text or hide in it, by range.
    static constexpr std::pair<char32_t, char32_t> kHidden[] = {
        {0x80, 0x9f},     {0xad, 0xad},     {0x61c, 0x61c},   {0x180e, 0x180e}, {0x200b, 0x200f},
        {0x2028, 0x202e}, {0x2060, 0x2064}, {0x2066, 0x2069}, {0xfeff, 0xfeff}};
    // Code points shown as they are, most of them beside a hidden range.
    static constexpr char32_t kShown[] = {0xa0,   0xac,   0xae,   0xe9,   0x61b,  0x180d,
                                          0x180f, 0x200a, 0x2010, 0x2027, 0x202f, 0x205f,
                                          0x2065, 0x206a, 0x20ac, 0xfe0f, 0xfefe, 0x1f600};
    // Sequences that are not UTF-8: overlong, a surrogate, beyond U+10FFFF, cut short.
    static constexpr std::string_view kBroken[] = {
        "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xf0\x9f\x98"};
    switch (draw(8)) {
    case 0:
    case 1: {
        const auto& [first, last] = kHidden[draw(std::size(kHidden))];
        const std::string raw = utf8(first + draw(last - first + 1));
        return {raw, hexEscaped(raw)};
    }
    case 2: {
        const std::string raw = utf8(kShown[draw(std::size(kShown))]);
        return {raw, raw};
    }
    case 3: {
        // A sequence cut short is followed by a letter, which it must not swallow.
        const std::string raw(kBroken[draw(std::size(kBroken))]);
        return {raw + "a", hexEscaped(raw) + "a"};
    }
    case 4:
        return {"\\", "\\x5c"};
    case 5: {
        const std::string raw(1, draw(4) == 0 ? '\x7f' : static_cast<char>(1 + draw(0x1f)));
        return {raw, hexEscaped(raw)};
    }
    case 6: {
        const std::string raw(1, static_cast<char>(0x80 + draw(0x80)));
        const auto byte = static_cast<unsigned char>(raw[0]);
        if (byte >= 0xc2 && byte <= 0xf4) {
            return {raw + "a", hexEscaped(raw) + "a"}; // a lead byte with nothing to lead
        }
        return {raw, hexEscaped(raw)};
    }
    default: {
        const std::string raw(1, static_cast<char>(0x20 + draw(0x5f)));
        return raw == "/" || raw == "\\" ? NamePiece{"x", "x"} : NamePiece{raw, raw};
    }
    }
}

// A random tree: names of random pieces, sizes up to three buffers, depth up
// to 8, some hard links. Returns the files that have a name of their own;
// shown, when given, receives how a report shows each path made (files,
// folders and links), the root shown as it is.
inline std::vector<std::string> randomTree(const std::string& root, std::mt19937_64& random,
                                           std::map<std::string, std::string>* shown = nullptr)
{
    std::vector<std::pair<std::string, std::string>> folders{{root, root}};
    std::vector<std::string> files;
    const auto draw = [&](int bound) {
        return static_cast<int>(random() % static_cast<unsigned>(bound));
    };
    for (int i = 0; i < 60; ++i) {
        NamePiece name;
        for (int pieces = 1 + draw(5); pieces > 0; --pieces) {
            const NamePiece piece = randomNamePiece(random);
            name.raw += piece.raw;
            name.shown += piece.shown;
        }
        const auto& [parent, shownParent] =
            folders[static_cast<std::size_t>(draw(static_cast<int>(folders.size())))];
        const std::string suffix = "_" + std::to_string(i);
        const std::string path = parent + "/" + name.raw + suffix;
        if (shown != nullptr) {
            (*shown)[path] = shownParent + "/" + name.shown + suffix;
        }
        if (draw(5) == 0 &&
            std::count(path.begin() + static_cast<long>(root.size()), path.end(), '/') < 8) {
            ::mkdir(path.c_str(), 0755);
            folders.emplace_back(path, shownParent + "/" + name.shown + suffix);
        } else if (draw(8) == 0 && !files.empty()) {
            ::link(files[static_cast<std::size_t>(draw(static_cast<int>(files.size())))].c_str(),
                   path.c_str());
        } else {
            writeWholeFile(path, std::string(static_cast<std::size_t>(draw(3 * 4096 + 1)),
                                             static_cast<char>(i)));
            files.push_back(path);
        }
    }
    return files;
}

inline std::map<std::string, std::pair<std::optional<std::string>, std::optional<std::string>>>
attributesOf(const std::vector<std::string>& files)
{
    std::map<std::string, std::pair<std::optional<std::string>, std::optional<std::string>>> seen;
    for (const auto& file : files) {
        seen[file] = {storedAttribute(file, kDigestAttributeName),
                      storedAttribute(file, kTimeAttributeName)};
    }
    return seen;
}

} // namespace quelby::test
