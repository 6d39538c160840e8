#pragma once

// Turns for the names of one file. Two names of one file (hard links, or a
// link the walk follows) must never be visited at the same time, and the
// earlier name in walk order goes first: a write through one name moves the
// change time that the other's changed-while-read check compares. A visit
// that has opened its file may read it once every earlier visit still
// running has opened its own and none of them is the same file (same device
// and inode).
//
// This is the record only: whoever keeps it guards it with a lock of its own
// and waits on it. Visits are handed over with turns that only grow by one.

#include <cstdint>
#include <deque>
#include <sys/types.h>

namespace quelby {

class SameFileTurns
{
public:
    // A visit was handed over with the next turn.
    void handedOver(std::uint64_t turn);
    // The visit opened the file (device, inode).
    void opened(std::uint64_t turn, dev_t device, ino_t inode);
    // Whether the visit of turn may read the file it opened.
    bool mayRead(std::uint64_t turn, dev_t device, ino_t inode) const;
    // The visit ended, read or not; later visits no longer wait for it.
    void ended(std::uint64_t turn);

private:
    struct Visit
    {
        bool opened = false;
        bool ended = false;
        dev_t device = 0;
        ino_t inode = 0;
    };

    Visit* find(std::uint64_t turn);

    // Every turn from firstTurn_ on, handed over and not all ended: the
    // oldest that has not ended is always at the front.
    std::deque<Visit> visits_;
    std::uint64_t firstTurn_ = 0;
};

} // namespace quelby
