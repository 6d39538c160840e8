#pragma once

// The Reed-Solomon code of a parity set. Input slice i (counted over the
// recovery set's files in their order, then over each file's slices) has a
// constant c(i); the recovery slice with exponent e is the sum over i of
// c(i)^e times slice i. Both making recovery slices and rebuilding lost input
// slices are then sums of known slices times coefficients, which is all a
// Combination describes.

#include "engine/coding/galois16.h"

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace quelby::rs {

// A recovery set holds at most this many input slices: there are no more constants.
inline constexpr std::uint32_t kMaxInputSlices = 32768;
// Recovery exponents run from 0 to this, inclusive.
inline constexpr std::uint32_t kMaxExponent = 65534;

// The constant of input slice index (below kMaxInputSlices).
gf16::Element inputConstant(std::uint32_t index);

// The coefficient of input slice index in the recovery slice of this exponent.
gf16::Element encodingCoefficient(std::uint32_t index, std::uint32_t exponent);

// How each lost input slice is rebuilt from the slices that are left and the
// recovery slices used: lost[k] = sum over present i of fromPresent[k][j(i)]
// * slice i + sum over r of fromRecovery[k][r] * recovery slice r.
struct Rebuild
{
    std::vector<std::uint32_t> lost;      // input slice indices, as given
    std::vector<std::uint32_t> exponents; // the recovery slices used, one per lost slice
    // Rows: lost slices; columns: recovery slices in the order of exponents.
    std::vector<std::vector<gf16::Element>> fromRecovery;
    // The coefficient of present input slice `index` in lost slice row.
    gf16::Element fromPresent(std::size_t row, std::uint32_t index) const;
};

// The rebuild of the lost slices from as many recovery slices (distinct
// exponents); a reason when the system cannot be solved.
std::expected<Rebuild, std::string> rebuildFor(std::vector<std::uint32_t> lost,
                                               std::vector<std::uint32_t> exponents);

} // namespace quelby::rs
