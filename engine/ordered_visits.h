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

#include "digest_pool.h"
#include "entry_open.h"
#include "file_digest.h"
#include "read_buffer_pool.h"
#include "run.h"
#include "same_file_turns.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>

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
    OrderedVisits(const RunOptions& options, const TreeRules& rules,
                  PseudoFileSystems& pseudoFileSystems, DigestPool& pool, std::size_t jobs,
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
    struct Slot
    {
        std::string path;                  // raw, for the progress shown while it is read
        std::optional<EntryToVisit> entry; // until a thread takes the visit
        bool done = false;
        std::optional<EntryOutcome> outcome; // none for a visit a stop cut short
    };

    // Takes the visit unless another thread has; false when it was taken.
    bool claim(std::uint64_t sequence, EntryToVisit& entry);
    void runVisit(std::uint64_t sequence, const EntryToVisit& entry, bool onWalkThread);
    void waitForTurn(std::uint64_t sequence, const struct stat& info, bool onWalkThread,
                     std::string_view path);
    void complete(std::uint64_t sequence, std::optional<EntryOutcome> outcome);
    // Delivers finished visits from the front; waits for one when wait is set.
    void deliverReady(bool wait);
    Slot& slot(std::uint64_t sequence) { return slots_[sequence - firstSequence_]; }

    const RunOptions& options_;
    const TreeRules& rules_;
    PseudoFileSystems& pseudoFileSystems_;
    DigestPool& pool_;
    VisitHost& host_;
    const std::size_t window_;

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
