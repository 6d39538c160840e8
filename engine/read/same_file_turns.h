#pragma once

// Turns for the names of one file. Two names of one file (hard links, or a
// link the walk follows) must never be visited at the same time, and the
// earlier name in walk order goes first: a write through one name moves the
// change time that the other's changed-while-read check compares. A visit
// that has opened its file waits until every earlier visit still running has
// opened its own and none of them is the same file (same device and inode).
//
// The walk's thread hands each visit over in walk order; any thread then
// records the opened file, waits, and ends the visit. Everything here is
// guarded by one mutex of its own, never held while a caller's code runs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <sys/types.h>

namespace quelby {

class SameFileTurns
{
public:
    // stop ends every wait; whoever sets it calls wakeAll() after.
    explicit SameFileTurns(const std::atomic<bool>& stop) : stop_(stop) {}

    // A visit was handed over; sequences only grow.
    void handedOver(std::uint64_t sequence);
    // The visit opened the file (device, inode); returns when it may read it.
    // With poll set, the wait wakes every interval to call it, unlocked: the
    // walk's own thread keeps following its observer while it waits.
    void waitForTurn(std::uint64_t sequence, dev_t device, ino_t inode,
                     const std::function<void()>& poll);
    // The visit ended, read or not; later visits no longer wait for it.
    void ended(std::uint64_t sequence);
    // Lets every waiting visit see the stop flag.
    void wakeAll();

private:
    struct Visit
    {
        std::uint64_t sequence;
        bool opened = false;
        bool ended = false;
        dev_t device = 0;
        ino_t inode = 0;
    };

    Visit* find(std::uint64_t sequence);
    bool mayRead(std::uint64_t sequence, dev_t device, ino_t inode) const;

    const std::atomic<bool>& stop_;
    std::mutex mutex_;
    std::condition_variable turns_;
    std::size_t waiting_ = 0;
    std::deque<Visit> visits_; // handed over and not yet ended at the front, in walk order
};

} // namespace quelby
