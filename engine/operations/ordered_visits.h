#pragma once

// Hands one walk's file visits to a pool of digest workers and gives their
// outcomes back in walk order, so that whoever follows the walk sees exactly
// what a one-worker walk would show. At most a bounded window of files is in
// flight. Two names of one file are never visited at the same time, and the
// earlier name always goes first: a write through one changes the change
// time that the other's changed-while-read check compares. Instead of waiting
// idle, the walk's own thread takes the oldest visit no worker has taken yet:
// it is one of the walk's digesting threads, and no run ever waits behind
// another run's files for a shared worker.
//
// In disk order the visits are handed to the readers a window at a time:
// the window's files are looked up on the disk and read in one sweep of the
// head (engine/read/disk_order.h), and the window is finished before the next one
// starts. The turns of two names of one file then follow the order of the
// reads, which keeps names of one inode in walk order. Without a pool the
// walk's own thread reads every file.

#include "engine/read/digest_pool.h"
#include "engine/read/file_digest.h"
#include "engine/read/read_buffer_pool.h"
#include "engine/read/same_file_turns.h"
#include "engine/run/entry_open.h"
#include "engine/run/run.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quelby {

// What the walk's own thread does for the visits.
class VisitHost
{
public:
    virtual ~VisitHost() = default;
    // Each finished entry, in walk order.
    virtual void deliver(const EntryOutcome& outcome) = 0;
    // Called now and then while the walk waits for workers: report progress
    // and say whether the walk must stop.
    virtual bool pollWhileWaiting(std::int64_t bytesInFlight, std::string_view currentPath) = 0;
};

class OrderedVisits
{
public:
    // pool may be null: then the walk's own thread reads every file.
    OrderedVisits(const RunOptions& options, const TreeRules& rules,
                  PseudoFileSystems& pseudoFileSystems, DigestPool* pool, std::size_t jobs,
                  VisitHost& host);
    ~OrderedVisits(); // waits for every visit still running
    OrderedVisits(const OrderedVisits&) = delete;
    OrderedVisits& operator=(const OrderedVisits&) = delete;

    // Hands a file over; waits, delivering, while the window is full.
    void visit(EntryToVisit entry);
    // An entry that needs no worker, delivered in its place.
    void add(EntryOutcome outcome);
    // Waits for every visit and delivers what they found. Returns true when
    // the walk was stopped meanwhile.
    bool finish();
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Visits not yet finished end at their next read, and get no outcome.
    void stop();

private:
    class TaskContext;
    static constexpr std::uint64_t kNoTurn = UINT64_MAX;
    // Small, with what it holds on the heap: a window of thousands is
    // visited in disk order, not in the order of the slots.
    struct Slot
    {
        std::unique_ptr<EntryToVisit> entry; // until the visit is done
        std::uint64_t turn = kNoTurn;        // its place among the reads, once handed to them
        bool claimed = false;                // a thread has taken the visit
        bool done = false;
        std::unique_ptr<EntryOutcome> outcome; // none for a visit a stop cut short
    };

    // Gives the visit of slot sequence to the readers: its turn is the next.
    void dispatch(std::uint64_t sequence);
    // Disk order: looks up the waiting files, dispatches them in one sweep
    // and delivers them all.
    void readWindow();
    // Disk order: whether entry must wait for the next window.
    bool startsNewWindow(const EntryToVisit& entry) const;
    // Takes the visit unless another thread has; null when it was taken. The
    // entry stays with its slot until the visit completes.
    const EntryToVisit* claim(std::uint64_t sequence, std::uint64_t& turn);
    void runVisit(std::uint64_t sequence, std::uint64_t turn, const EntryToVisit& entry,
                  bool onWalkThread);
    void waitForTurn(std::uint64_t turn, const struct stat& info, bool onWalkThread,
                     std::string_view path);
    void complete(std::uint64_t sequence, std::uint64_t turn,
                  std::optional<EntryOutcome> outcome);
    // Delivers finished visits from the front; waits for one when wait is set.
    void deliverReady(bool wait);
    Slot& slot(std::uint64_t sequence) { return slots_[sequence - firstSequence_]; }

    const RunOptions& options_;
    const TreeRules& rules_;
    PseudoFileSystems& pseudoFileSystems_;
    DigestPool* pool_;
    VisitHost& host_;
    const bool diskOrder_;
    const std::size_t windowFolders_; // folders the waiting files may keep open
    const std::size_t window_;

    // Walk's thread only: the visits in the order of their turns, for it to
    // take when it would wait; and, in disk order, the files not yet looked
    // up, the folders they keep open, and where the head was left.
    std::deque<std::uint64_t> readOrder_;
    std::uint64_t nextTurn_ = 0;
    std::vector<std::uint64_t> waitingFiles_;
    std::unordered_set<const FileDescriptor*> waitingFolders_;
    std::uint64_t head_ = 0;

    std::mutex mutex_;
    std::condition_variable frontDone_; // the walk waits for the oldest visit
    std::deque<Slot> slots_;            // undelivered visits in walk order
    std::uint64_t firstSequence_ = 0;
    std::atomic<bool> stop_{false};
    SameFileTurns turns_{stop_};
    ReadBufferPool buffers_;
    std::atomic<bool> linksSeen_{false}; // a link was handed over: names may share a file
    std::atomic<std::int64_t> bytesInFlight_{0};
};

} // namespace quelby
