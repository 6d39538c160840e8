// How a folder's files are split into sets, and each set's slice size and
// recovery count (planSets of parity_writer.h).

#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_writer.h"

#include <algorithm>

namespace quelby::parity {

namespace {

// The recovery work is a set's bytes times its recovery slices, and the
// recovery slices are the percentage of its input slices: a set aims at this
// many input slices and no more, and its slices grow with its bytes. More
// files than this take one slice each, and a set holds as many files as
// leave room for that.
constexpr std::uint64_t kTargetSlices = 256;
constexpr std::size_t kMostFilesPerSet = rs::kMaxInputSlices - kTargetSlices;

std::uint64_t ceilDivide(std::uint64_t a, std::uint64_t b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

// The smallest byte count that is percent % of total, without overflow.
std::uint64_t percentOf(std::uint64_t total, unsigned percent)
{
    return total / 100 * percent + ceilDivide(total % 100 * percent, 100);
}

SetPlan planOneSet(std::vector<std::size_t> files, std::uint64_t bytes, unsigned percent)
{
    SetPlan plan;
    plan.files = std::move(files);
    plan.sliceSize =
        std::max<std::uint64_t>(4, ceilDivide(ceilDivide(bytes, kTargetSlices), 4) * 4);
    plan.recoveryCount = bytes == 0
                             ? 0
                             : static_cast<std::uint32_t>(std::max<std::uint64_t>(
                                   1, ceilDivide(percentOf(bytes, percent), plan.sliceSize)));
    return plan;
}

} // namespace

std::vector<SetPlan> planSets(const std::vector<std::uint64_t>& sizes, unsigned percent)
{
    if (sizes.empty()) {
        return {};
    }
    percent = std::clamp(percent, 1u, 100u);
    std::vector<SetPlan> plans;
    std::vector<std::size_t> empty;
    std::vector<std::size_t> current;
    std::uint64_t bytes = 0;
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        if (sizes[index] == 0) {
            empty.push_back(index);
            continue;
        }
        if (current.size() == kMostFilesPerSet) {
            plans.push_back(planOneSet(std::move(current), bytes, percent));
            current.clear();
            bytes = 0;
        }
        current.push_back(index);
        bytes += sizes[index];
    }
    if (!current.empty() || plans.empty()) {
        plans.push_back(planOneSet(std::move(current), bytes, percent));
    }
    // Empty files have no slices; they ride in the first set's own packet.
    std::vector<std::size_t>& first = plans.front().files;
    first.insert(first.end(), empty.begin(), empty.end());
    std::sort(first.begin(), first.end());
    return plans;
}

} // namespace quelby::parity
