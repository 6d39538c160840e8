#include "engine/coding/reed_solomon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace quelby {
namespace {

using Slice = std::vector<std::uint8_t>;

std::uint16_t word(const Slice& slice, std::size_t i)
{
    return static_cast<std::uint16_t>(slice[2 * i] | (slice[2 * i + 1] << 8));
}

Slice randomSlice(std::mt19937& random, std::size_t bytes)
{
    Slice slice(bytes);
    for (auto& byte : slice) {
        byte = static_cast<std::uint8_t>(random());
    }
    return slice;
}

TEST(ReedSolomon, ConstantsAndRegionKernelsAgreeWithTheFieldWordByWord)
{
    // The first constants the format lists, and the generator's reduction.
    const std::vector<std::uint16_t> first = {2, 4, 16, 128, 256, 2048, 8192, 16384, 4107, 32856, 17132};
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(rs::inputConstant(static_cast<std::uint32_t>(i)), first[i]) << i;
    }
    EXPECT_EQ(gf16::multiply(0x8000, 2), 0x100B);
    EXPECT_EQ(gf16::multiply(gf16::inverse(0x1234), 0x1234), 1);

    // Odd lengths reach the kernels' heads and tails; regions aligned unlike
    // each other go through the bounce buffer.
    std::mt19937 random(7);
    for (const std::size_t shift : {0u, 6u}) {
        for (const std::size_t bytes : {2u, 30u, 4098u, 65540u, 200002u}) {
            const Slice from = randomSlice(random, bytes + 16);
            Slice to = randomSlice(random, bytes + 16);
            const Slice before = to;
            const auto factor = static_cast<std::uint16_t>(random() | 1);
            gf16::multiplyAdd(to.data() + 2, from.data() + 2 + shift, bytes, factor);
            for (std::size_t i = 0; i < bytes / 2 + 1; ++i) {
                const std::uint16_t expected =
                    i == 0 ? word(before, 0)
                           : static_cast<std::uint16_t>(
                                 word(before, i) ^
                                 gf16::multiply(factor, word(from, i + shift / 2)));
                ASSERT_EQ(word(to, i), expected) << bytes << " bytes, shift " << shift << ", word " << i;
            }
        }
    }
}

TEST(ReedSolomon, LostSlicesComeBackFromAsManyRecoverySlicesAndNoFewer)
{
    std::mt19937 random(11);
    constexpr std::size_t kSlices = 40;
    constexpr std::size_t kBytes = 64;
    std::vector<Slice> input;
    for (std::size_t i = 0; i < kSlices; ++i) {
        input.push_back(randomSlice(random, kBytes));
    }
    const std::vector<std::uint32_t> exponents = {0, 3, 7, 65534};
    std::vector<Slice> recovery(exponents.size(), Slice(kBytes));
    for (std::size_t r = 0; r < exponents.size(); ++r) {
        for (std::uint32_t i = 0; i < kSlices; ++i) {
            gf16::multiplyAdd(recovery[r].data(), input[i].data(), kBytes,
                              rs::encodingCoefficient(i, exponents[r]));
        }
    }

    const std::vector<std::uint32_t> lost = {0, 17, 18, 39};
    const auto rebuild = rs::rebuildFor(lost, exponents);
    ASSERT_TRUE(rebuild.has_value()) << rebuild.error();
    for (std::size_t row = 0; row < lost.size(); ++row) {
        Slice out(kBytes);
        for (std::uint32_t i = 0; i < kSlices; ++i) {
            if (std::find(lost.begin(), lost.end(), i) == lost.end()) {
                gf16::multiplyAdd(out.data(), input[i].data(), kBytes, rebuild->fromPresent(row, i));
            }
        }
        for (std::size_t r = 0; r < exponents.size(); ++r) {
            gf16::multiplyAdd(out.data(), recovery[r].data(), kBytes, rebuild->fromRecovery[row][r]);
        }
        EXPECT_EQ(out, input[lost[row]]) << "slice " << lost[row];
    }

    EXPECT_FALSE(rs::rebuildFor(lost, {0, 3, 7}).has_value());
    EXPECT_FALSE(rs::rebuildFor({0, 1}, {5, 5}).has_value()) << "one exponent twice solves nothing";
    EXPECT_FALSE(rs::rebuildFor({rs::kMaxInputSlices}, {1}).has_value());
}

} // namespace
} // namespace quelby
