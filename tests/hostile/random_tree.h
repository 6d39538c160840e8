#pragma once

#include "support/temp_tree.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quelby::test {

// A tree of regular files with names of random bytes (anything but NUL and
// '/'), folders nested up to eight deep, sizes from empty to three buffers,
// and some hard links. Every path is absolute.
struct RandomTree
{
    std::string root;
    std::vector<std::string> files;       // every name of a regular file, hard links included
    std::vector<std::string> singleLinks; // the files that have exactly one name
};

RandomTree makeRandomTree(const TempTree& tree, std::uint64_t seed, std::int64_t bufferSize);

// The seeds a randomised test runs with: QUELBY_TEST_SEED when set, otherwise
// fresh ones (more under QUELBY_LONG_TESTS); each failure names its seed.
std::vector<std::uint64_t> testSeeds(int normalCount, int longCount);

bool longTestsWanted();

} // namespace quelby::test
