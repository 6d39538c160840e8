#include "engine/coding/galois16.h"

#include <array>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

// The library's header declares C functions without saying so.
extern "C" {
#include <gf_complete.h>
}

namespace quelby::gf16 {

namespace {

constexpr std::uint32_t kGenerator = 0x1100B;
// The region kernels' vectors, and the most bytes moved through the bounce buffer at once.
constexpr std::uintptr_t kAlignment = 16;
constexpr std::size_t kBounceBytes = 1 << 16;
constexpr std::uint32_t kOrder = 65535;

// Logarithms to the base 2, and their inverse, doubled so that a sum of two
// logarithms needs no reduction.
struct Tables
{
    std::array<std::uint16_t, 65536> log{};
    std::array<std::uint16_t, 2 * kOrder> exp{};

    Tables()
    {
        std::uint32_t value = 1;
        for (std::uint32_t i = 0; i < kOrder; ++i) {
            exp[i] = static_cast<std::uint16_t>(value);
            exp[i + kOrder] = static_cast<std::uint16_t>(value);
            log[value] = static_cast<std::uint16_t>(i);
            value <<= 1;
            if (value & 0x10000) {
                value ^= kGenerator;
            }
        }
    }
};

const Tables& tables()
{
    static const Tables built;
    return built;
}

// The region kernels; the library's default field for 16 bits is ours.
struct RegionField
{
    gf_t field{};
    RegionField()
    {
        if (gf_init_easy(&field, 16) == 0) {
            throw std::runtime_error("the GF(2^16) region kernels could not be set up");
        }
    }
};

gf_t& regionField()
{
    static RegionField built;
    return built.field;
}

} // namespace

Element multiply(Element a, Element b)
{
    if (a == 0 || b == 0) {
        return 0;
    }
    const Tables& t = tables();
    return t.exp[t.log[a] + t.log[b]];
}

Element inverse(Element a)
{
    const Tables& t = tables();
    return t.exp[(kOrder - t.log[a]) % kOrder];
}

Element power(Element base, std::uint32_t exponent)
{
    if (exponent == 0) {
        return 1;
    }
    if (base == 0) {
        return 0;
    }
    const Tables& t = tables();
    const std::uint64_t log = (static_cast<std::uint64_t>(t.log[base]) * exponent) % kOrder;
    return t.exp[log];
}

void multiplyAdd(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes, Element factor)
{
    if (factor == 0 || bytes == 0) {
        return;
    }
    gf_t& field = regionField();
    const auto misalignment = [](const void* address) {
        return reinterpret_cast<std::uintptr_t>(address) % kAlignment;
    };
    if (misalignment(to) == misalignment(from)) {
        // The library counts bytes in an int.
        constexpr std::size_t kLargest = (INT_MAX / 64) * 64;
        while (bytes > 0) {
            const std::size_t chunk = bytes < kLargest ? bytes : kLargest;
            field.multiply_region.w32(&field, const_cast<std::uint8_t*>(from), to, factor,
                                      static_cast<int>(chunk), 1);
            to += chunk;
            from += chunk;
            bytes -= chunk;
        }
        return;
    }
    // The kernels need both regions aligned alike: the source goes through a
    // buffer placed as the destination is.
    thread_local std::vector<std::uint8_t> bounce(kBounceBytes + kAlignment);
    std::uint8_t* const base = bounce.data();
    std::uint8_t* const staged =
        base + (misalignment(to) + kAlignment - misalignment(base)) % kAlignment;
    while (bytes > 0) {
        const std::size_t chunk = bytes < kBounceBytes ? bytes : kBounceBytes;
        std::memcpy(staged, from, chunk);
        field.multiply_region.w32(&field, staged, to, factor, static_cast<int>(chunk), 1);
        to += chunk;
        from += chunk;
        bytes -= chunk;
    }
}

} // namespace quelby::gf16
