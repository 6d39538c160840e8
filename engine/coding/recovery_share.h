#pragma once

// Summing input slices into recovery slices held in memory side by side.

#include "engine/coding/galois16.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelby::rs {

// Sums pieces of input slices into the recovery slices with exponents
// [first, last) of a buffer that holds one range of each recovery slice,
// stride bytes apart (a multiple of 16). Each thread that sums has a share of
// its own, with its own coefficients and copy space; shares never overlap.
class RecoveryShare
{
public:
    RecoveryShare(std::uint32_t first, std::uint32_t last);

    // Adds length bytes of input slice `slice` that lie start bytes into the
    // buffer's range; an odd length is summed with the zero byte after it.
    void add(std::uint8_t* recovery, std::uint64_t stride, std::uint32_t slice, std::size_t start,
             const std::uint8_t* data, std::size_t length);

private:
    const std::uint8_t* alignedLike(const std::uint8_t* target, const std::uint8_t* source,
                                    std::size_t bytes);

    std::uint32_t first_;
    std::vector<gf16::Element> coefficients_;
    std::uint32_t coefficientsOf_;
    std::vector<std::uint8_t> scratch_;
};

} // namespace quelby::rs
