#include "engine/read/same_file_turns.h"

#include <algorithm>
#include <chrono>

namespace quelby {

namespace {

// How often a waiting walk looks at its observer: a stop is seen within this.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

} // namespace

void SameFileTurns::handedOver(std::uint64_t sequence)
{
    const std::lock_guard lock(mutex_);
    visits_.push_back(Visit{.sequence = sequence});
}

SameFileTurns::Visit* SameFileTurns::find(std::uint64_t sequence)
{
    const auto at = std::ranges::lower_bound(visits_, sequence, {}, &Visit::sequence);
    return at != visits_.end() && at->sequence == sequence ? &*at : nullptr;
}

bool SameFileTurns::mayRead(std::uint64_t sequence, dev_t device, ino_t inode) const
{
    if (stop_.load(std::memory_order_relaxed)) {
        return true;
    }
    for (const Visit& earlier : visits_) {
        if (earlier.sequence >= sequence) {
            break;
        }
        if (earlier.ended) {
            continue;
        }
        if (!earlier.opened || (earlier.device == device && earlier.inode == inode)) {
            return false;
        }
    }
    return true;
}

void SameFileTurns::waitForTurn(std::uint64_t sequence, dev_t device, ino_t inode,
                                const std::function<void()>& poll)
{
    std::unique_lock lock(mutex_);
    if (Visit* own = find(sequence)) {
        own->opened = true;
        own->device = device;
        own->inode = inode;
    }
    // A later visit may have been waiting for this one to open its file.
    if (waiting_ > 0) {
        turns_.notify_all();
    }
    ++waiting_;
    while (!mayRead(sequence, device, inode)) {
        if (!poll) {
            turns_.wait(lock);
            continue;
        }
        turns_.wait_for(lock, kPollInterval);
        lock.unlock();
        poll();
        lock.lock();
    }
    --waiting_;
}

void SameFileTurns::ended(std::uint64_t sequence)
{
    const std::lock_guard lock(mutex_);
    if (Visit* own = find(sequence)) {
        own->ended = true;
    }
    while (!visits_.empty() && visits_.front().ended) {
        visits_.pop_front();
    }
    if (waiting_ > 0) {
        turns_.notify_all();
    }
}

void SameFileTurns::wakeAll()
{
    const std::lock_guard lock(mutex_);
    turns_.notify_all();
}

} // namespace quelby
