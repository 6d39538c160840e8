#include "engine/coding/recovery_share.h"

#include "engine/coding/reed_solomon.h"

#include <algorithm>

namespace quelby::rs {

namespace {

// Summed over blocks this size, so that the input block stays in the cache
// while every recovery slice of the share takes its part of it.
constexpr std::size_t kSumBlock = std::size_t{32} << 10;
constexpr std::size_t kAlignment = 16;

} // namespace

RecoveryShare::RecoveryShare(std::uint32_t first, std::uint32_t last)
    : first_(first), coefficients_(last - first), coefficientsOf_(kMaxInputSlices),
      scratch_(kSumBlock + 2 * kAlignment)
{
}

void RecoveryShare::add(std::uint8_t* recovery, std::uint64_t stride, std::uint32_t slice,
                        std::size_t start, const std::uint8_t* data, std::size_t length)
{
    if (coefficients_.empty()) {
        return;
    }
    if (coefficientsOf_ != slice) {
        const gf16::Element constant = inputConstant(slice);
        gf16::Element power = gf16::power(constant, first_);
        for (gf16::Element& coefficient : coefficients_) {
            coefficient = power;
            power = gf16::multiply(power, constant);
        }
        coefficientsOf_ = slice;
    }
    const std::size_t even = (length + 1) & ~std::size_t{1};
    for (std::size_t block = 0; block < even; block += kSumBlock) {
        const std::size_t bytes = std::min(kSumBlock, even - block);
        std::uint8_t* target = recovery + first_ * stride + start + block;
        const std::uint8_t* source = alignedLike(target, data + block, bytes);
        for (const gf16::Element coefficient : coefficients_) {
            gf16::multiplyAdd(target, source, bytes, coefficient);
            target += stride;
        }
    }
}

// The region kernels want source and target at the same offset from a
// 16-byte boundary; a source that is not is copied to one that is.
const std::uint8_t* RecoveryShare::alignedLike(const std::uint8_t* target,
                                               const std::uint8_t* source, std::size_t bytes)
{
    const auto offset = [](const std::uint8_t* pointer) {
        return reinterpret_cast<std::uintptr_t>(pointer) % kAlignment;
    };
    if (offset(target) == offset(source)) {
        return source;
    }
    std::uint8_t* copy =
        scratch_.data() + (kAlignment - offset(scratch_.data())) % kAlignment + offset(target);
    std::copy_n(source, bytes, copy);
    return copy;
}

} // namespace quelby::rs
