#pragma once

// Seeded random trees for the property tests: byte names, sizes up to three
// buffers, folders up to 8 deep, some hard links.

#include "engine/tag_store.h"
#include "support/temp_tree.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

// A random tree: names of random bytes, sizes up to three buffers, depth up to
// 8, some hard links. Returns the files that have a name of their own.
inline std::vector<std::string> randomTree(const std::string& root, std::mt19937_64& random)
{
    std::vector<std::string> folders{root}, files;
    const auto draw = [&](int bound) {
        return static_cast<int>(random() % static_cast<unsigned>(bound));
    };
    for (int i = 0; i < 60; ++i) {
        std::string name;
        for (int length = 1 + draw(12); length > 0; --length) {
            const auto byte = static_cast<char>(1 + draw(255));
            name += byte == '/' ? 'x' : byte;
        }
        const std::string parent =
            folders[static_cast<std::size_t>(draw(static_cast<int>(folders.size())))];
        const std::string path = parent + "/" + name + "_" + std::to_string(i);
        if (draw(5) == 0 &&
            std::count(path.begin() + static_cast<long>(root.size()), path.end(), '/') < 8) {
            ::mkdir(path.c_str(), 0755);
            folders.push_back(path);
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
