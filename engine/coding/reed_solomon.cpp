#include "engine/coding/reed_solomon.h"

#include <array>
#include <utility>

namespace quelby::rs {

namespace {

// The exponents n of 2 whose power has order 65535: n divisible by none of
// 3, 5, 17 and 257.
const std::array<gf16::Element, kMaxInputSlices>& constants()
{
    static const auto built = [] {
        std::array<gf16::Element, kMaxInputSlices> list{};
        std::uint32_t found = 0;
        for (std::uint32_t n = 0; found < kMaxInputSlices; ++n) {
            if (n % 3 != 0 && n % 5 != 0 && n % 17 != 0 && n % 257 != 0) {
                list[found++] = gf16::power(2, n);
            }
        }
        return list;
    }();
    return built;
}

} // namespace

gf16::Element inputConstant(std::uint32_t index)
{
    return constants().at(index);
}

gf16::Element encodingCoefficient(std::uint32_t index, std::uint32_t exponent)
{
    return gf16::power(inputConstant(index), exponent);
}

gf16::Element Rebuild::fromPresent(std::size_t row, std::uint32_t index) const
{
    // Moving slice index's share of each recovery slice to the other side:
    // the sum over r of fromRecovery[row][r] * c(index)^e(r).
    gf16::Element sum = 0;
    for (std::size_t r = 0; r < exponents.size(); ++r) {
        sum ^= gf16::multiply(fromRecovery[row][r], encodingCoefficient(index, exponents[r]));
    }
    return sum;
}

std::expected<Rebuild, std::string> rebuildFor(std::vector<std::uint32_t> lost,
                                               std::vector<std::uint32_t> exponents)
{
    const std::size_t n = lost.size();
    if (exponents.size() != n) {
        return std::unexpected("as many recovery slices as lost slices are needed");
    }
    for (const std::uint32_t index : lost) {
        if (index >= kMaxInputSlices) {
            return std::unexpected("an input slice beyond the last constant");
        }
    }
    // Row r of the system: recovery slice r = sum over k of c(lost k)^e(r) * lost k.
    // Inverting it by Gauss-Jordan gives each lost slice from the recovery slices.
    std::vector<std::vector<gf16::Element>> system(n, std::vector<gf16::Element>(n));
    std::vector<std::vector<gf16::Element>> inverse(n, std::vector<gf16::Element>(n));
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t k = 0; k < n; ++k) {
            system[r][k] = encodingCoefficient(lost[k], exponents[r]);
        }
        inverse[r][r] = 1;
    }
    for (std::size_t column = 0; column < n; ++column) {
        std::size_t pivot = column;
        while (pivot < n && system[pivot][column] == 0) {
            ++pivot;
        }
        if (pivot == n) {
            return std::unexpected("the recovery slices cannot rebuild these slices");
        }
        std::swap(system[pivot], system[column]);
        std::swap(inverse[pivot], inverse[column]);
        const gf16::Element scale = gf16::inverse(system[column][column]);
        for (std::size_t k = 0; k < n; ++k) {
            system[column][k] = gf16::multiply(system[column][k], scale);
            inverse[column][k] = gf16::multiply(inverse[column][k], scale);
        }
        for (std::size_t row = 0; row < n; ++row) {
            const gf16::Element factor = system[row][column];
            if (row == column || factor == 0) {
                continue;
            }
            for (std::size_t k = 0; k < n; ++k) {
                system[row][k] ^= gf16::multiply(factor, system[column][k]);
                inverse[row][k] ^= gf16::multiply(factor, inverse[column][k]);
            }
        }
    }
    // The rows of the inverse belong to the lost slices in their order.
    Rebuild rebuild;
    rebuild.lost = std::move(lost);
    rebuild.exponents = std::move(exponents);
    rebuild.fromRecovery = std::move(inverse);
    return rebuild;
}

} // namespace quelby::rs
