#include "engine/tree/descriptor_budget.h"

#include "engine/platform/sys.h"
#include "engine/tree/listing.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>

namespace quelby {

namespace {

// Room for what the rest of the run opens while the walk goes on: nested
// manifests, their locks and sorts, the state's journal, repair's copies.
constexpr std::size_t kRestOfRun = 16;
// Without /proc, what a run has usually opened before its walk.
constexpr std::size_t kUsualInUse = 8;

constexpr DescriptorBudget kMost;

std::size_t descriptorsInUse()
{
    const auto folder = sys::openAt(AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!folder) {
        return kUsualInUse;
    }
    const FileDescriptor owned(*folder);
    const auto listing = Listing::of(owned);
    // The folder and its listing's own copy are open only while counting.
    return listing && listing->size() >= 2 ? listing->size() - 2 : kUsualInUse;
}

} // namespace

DescriptorBudget descriptorBudget(std::size_t jobs, std::size_t limit, std::size_t inUse)
{
    const std::size_t spare = limit > inUse + kRestOfRun ? limit - inUse - kRestOfRun : 0;
    // Each reader holds one file, and the walk's thread one more while it looks files up.
    const std::size_t files = std::max<std::size_t>(jobs, 1) + 1;
    const std::size_t folders = spare > files ? spare - files : 0;
    DescriptorBudget budget;
    budget.folderLevels = std::clamp<std::size_t>(folders / 4, 1, kMost.folderLevels);
    budget.windowFolders = std::clamp<std::size_t>(folders - std::min(folders, budget.folderLevels),
                                                   1, kMost.windowFolders);
    return budget;
}

DescriptorBudget descriptorBudget(std::size_t jobs)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kMost;
    }
    return descriptorBudget(jobs, static_cast<std::size_t>(limit.rlim_cur), descriptorsInUse());
}

} // namespace quelby
