#pragma once

// Arithmetic in GF(2^16) with the generator x^16 + x^12 + x^3 + x + 1
// (0x1100B), on which the recovery data of a parity set is built. Words are
// 16-bit little-endian, as they lie in a slice.

#include <cstddef>
#include <cstdint>

namespace quelby::gf16 {

using Element = std::uint16_t;

Element multiply(Element a, Element b);
// a must not be zero.
Element inverse(Element a);
Element power(Element base, std::uint32_t exponent);

// to[i] ^= factor * from[i] for each 16-bit word; bytes must be even. The
// two regions may lie at any addresses.
void multiplyAdd(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes, Element factor);

} // namespace quelby::gf16
