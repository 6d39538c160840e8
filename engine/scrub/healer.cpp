#include "engine/scrub/healer.h"

#include "engine/text/display_text.h"
#include "engine/text/parity_text.h"
#include "engine/tree/open_below.h"
#include "engine/tree/paths.h"

#include <cstring>
#include <fcntl.h>
#include <utility>

namespace quelby::scrub {

Healer::Healer(const RunOptions& run, Allowance& allowance, std::function<bool()> stop)
    : run_(run), allowance_(allowance), stop_(std::move(stop))
{
}

const FolderParity* Healer::parityOf(const std::string& relativeFolder, int root)
{
    if (parityFolder_ && *parityFolder_ == relativeFolder) {
        return parity_ ? &*parity_ : nullptr;
    }
    parityFolder_ = relativeFolder;
    parity_.reset();
    auto folder = openFolderBelow(root, relativeFolder);
    if (!folder) {
        return nullptr;
    }
    folder_ = std::move(*folder);
    auto read = FolderParity::own(folder_.get());
    if (read && *read) {
        parity_ = std::move(**read);
    }
    return parity_ ? &*parity_ : nullptr;
}

bool Healer::heal(EntryOutcome& outcome)
{
    if (outcome.result != FileResult::differs || outcome.verdict != Verdict::damaged ||
        !outcome.stored || outcome.stored->size() != Digest{}.bytes.size() || !outcome.status ||
        outcome.throughLink) {
        return false;
    }
    const auto root = openRunFolder(run_);
    if (!root) {
        return false;
    }
    const std::string relative = relativePath(run_.folder, outcome.path);
    const SplitPath split = splitPath(relative);
    const FolderParity* parity = parityOf(std::string(split.folder), (*root)->get());
    if (parity == nullptr || !parity->covers(split.name)) {
        return false;
    }
    if (!buffer_) {
        auto buffer = ReadBuffer::allocate(cappedBufferSize(run_.realBufferSize, 1));
        if (!buffer) {
            return false;
        }
        buffer_ = std::move(*buffer);
    }
    DamagedFile damaged;
    damaged.folder = folder_.get();
    damaged.name = split.name;
    damaged.judged = *outcome.status;
    std::memcpy(damaged.digest.bytes.data(), outcome.stored->data(), damaged.digest.bytes.size());
    damaged.stamp = outcome.stamp;
    damaged.evidence = outcome.evidence.owner ? outcome.evidence.owner.get() : run_.evidence.get();
    damaged.path = outcome.path;
    // Rebuilding reads the folder's other files as well: it counts as one more read of this one.
    allowance_.start(outcome.status->st_size);
    const PutBack putting = putBackFromParity(damaged, *parity, *buffer_, run_.backEnd, stop_);
    if (putting.end != PutBack::End::repaired) {
        return false;
    }
    ++healed_;
    outcome.result = FileResult::healed;
    outcome.lines = report::healedLine(escapedForReport(outcome.path));
    outcome.counts.mismatchedCount = 0;
    outcome.counts.failureCount = 0;
    outcome.counts.damagedCount = 0;
    outcome.counts.matchedCount = 1;
    // The state remembers the file as it is now, so that it is not due again at once.
    if (const auto now = sys::fstatAt(folder_.get(), damaged.name, AT_SYMLINK_NOFOLLOW)) {
        outcome.opened = *now;
        outcome.status = *now;
    }
    return true;
}

} // namespace quelby::scrub
