#pragma once

// The one driver of file visits: a walk, a scrub's reads of its due files and
// an import hand it the files to visit, one after another, and it gives their
// outcomes back in the order they were handed over, so that whoever follows
// sees exactly what a one-worker run would show. The run's read plan decides
// who reads: with one job in name order, the calling thread visits each file
// as it is handed over; otherwise the visits go to a pool of digest workers,
// or to a window read in one sweep of the disk's head, or both.
//
// At most a bounded window of files is in flight. Two names of one file
// (hard links, or a symbolic link and its target) are never visited at the
// same time, and the earlier name always goes first: a write through one
// changes the change time that the other's changed-while-read check compares. Instead of waiting idle, the calling
// thread takes the oldest visit no worker has taken yet: it is one of the
// run's digesting threads, and no run ever waits behind another run's files
// for a shared worker.
//
// In disk order the visits are handed to the readers a window at a time:
// the window's files are looked up on the disk and read in one sweep of the
// head (engine/read/disk_order.h), and the window is finished before the next
// one starts. The turns of two names of one file then follow the order of the
// reads, which keeps names of one inode in the order they were handed over.

#include "engine/read/digest_pool.h"
#include "engine/read/file_digest.h"
#include "engine/read/read_buffer_pool.h"
#include "engine/read/read_plan.h"
#include "engine/read/same_file_turns.h"
#include "engine/run/entry_open.h"
#include "engine/run/run.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quelby {

class VisitDriver;

// The thread that hands files to the driver and takes their outcomes back,
// in order. It follows the run for its observer: it reports the bytes read
// so far, those of the files being read included, and asks whether to stop
// (once asked, for good).
class OutcomeReceiver
{
public:
    // counts are the run's own, as delivered outcomes add up.
    OutcomeReceiver(RunObserver& observer, const RunCounts& counts)
        : observer_(observer), counts_(counts)
    {
    }
    virtual ~OutcomeReceiver() = default;

    // Each finished entry, in the order it was handed over.
    virtual void deliver(const EntryOutcome& outcome) = 0;

    bool stopRequested()
    {
        if (!stopped_ && observer_.stopRequested()) {
            stopped_ = true;
        }
        return stopped_;
    }

    // Called now and then while files are read: reports progress and says
    // whether the run must stop.
    bool pollWhileWaiting(std::int64_t bytesInFlight, std::string_view currentPath)
    {
        observer_.progress(
            RunProgress{counts_.totalCount, counts_.bytesRead + bytesInFlight, currentPath});
        return stopRequested();
    }

protected:
    // After a file's outcome is counted: the next file's reads start afresh.
    void fileDelivered()
    {
        observer_.progress(RunProgress{counts_.totalCount, counts_.bytesRead, {}});
    }

    bool stopped_ = false;

private:
    RunObserver& observer_;
    const RunCounts& counts_;
};

// One visit's line back to its driver, on whichever thread reads the file:
// whether to stop, the bytes read, and its turn among the names of one file.
class VisitTurn
{
public:
    VisitTurn(VisitDriver& driver, std::uint64_t turn, bool onCallingThread, std::string_view path)
        : driver_(driver), turn_(turn), onCallingThread_(onCallingThread), path_(path)
    {
    }

    bool stopRequested();
    // Called after every read with the bytes it delivered; path is raw, as on disk.
    void bytesRead(std::size_t count, std::string_view path);
    // Called once the file is open, before anything is read or written through
    // it; waits for the visits of its other names handed over before it. True
    // when the file may have changed since info was taken (another name of it
    // may have been visited meanwhile), so that its state must be taken again.
    bool opened(const struct stat& info);

private:
    VisitDriver& driver_;
    std::uint64_t turn_;
    bool onCallingThread_;
    std::string_view path_;
};

// What one file's visit does, on whichever thread reads it: fills in
// outcome, which comes cleared. buffer is the error when no read buffer could
// be had. Returns false when a stop cut the visit short: such a file gets no
// line and no count.
using VisitFunction =
    std::function<bool(const EntryToVisit& entry, const std::expected<ReadBuffer, PosixError>& buffer,
                       VisitTurn& turn, EntryOutcome& outcome)>;

class VisitDriver
{
public:
    // pool may be null, and serves only a plan of more than one job: without
    // one, the calling thread reads every file.
    VisitDriver(const ReadPlan& plan, DigestPool* pool, VisitFunction visit,
                OutcomeReceiver& receiver);
    ~VisitDriver(); // waits for every visit still running
    VisitDriver(const VisitDriver&) = delete;
    VisitDriver& operator=(const VisitDriver&) = delete;

    // The buffer of the calling thread, allocated before the first file so
    // that a run without one fails as a whole.
    std::expected<void, PosixError> reserveBuffer();
    // Hands a file over, copied; waits, delivering, while the window is full.
    void visit(const EntryToVisit& entry);
    // An entry that needs no visit, delivered in its place.
    void add(EntryOutcome outcome);
    // Waits for every visit and delivers what they found. Returns true when
    // the run was stopped meanwhile.
    bool finish();
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Visits not yet finished end at their next read, and get no outcome.
    void stop();

private:
    friend class VisitTurn;
    static constexpr std::uint64_t kNoTurn = UINT64_MAX;
    // One place of the window, used again and again: the entry and its
    // outcome keep what their strings hold allocated, so that a run of
    // millions of small files allocates nothing per file here.
    struct Slot
    {
        EntryToVisit entry;
        EntryOutcome outcome;
        std::uint64_t turn = kNoTurn; // its place among the reads, once handed to them
        bool delivers = false;        // false for a visit a stop cut short
        // Set last, with release, by whoever finished it: the calling thread
        // then finds what is ready without taking the lock.
        std::atomic<bool> done{false};
    };

    Slot& slot(std::uint64_t sequence) { return window_[sequence % windowSize_]; }
    // Takes the next free place of the window, cleared, waiting for one if need be.
    Slot& nextSlot();
    // One job in name order: the visit runs now, and its outcome is delivered.
    void visitNow(const EntryToVisit& entry);
    // Gives the visits of these slots to the readers, in this order, and
    // makes sure enough workers take them.
    void dispatch(std::span<const std::uint64_t> sequences);
    // Disk order: looks up the waiting files, dispatches them in one sweep
    // and delivers them all.
    void readWindow();
    // Disk order: whether entry must wait for the next window.
    bool startsNewWindow(const EntryToVisit& entry) const;
    // A worker's task: visits taken one after another, while there are any,
    // up to a batch; then the rest goes to the back of the pool's queue, so
    // that runs sharing the pool take turns.
    void drain();
    // Runs the visit of slot sequence, claimed; called and returns unlocked.
    void runVisit(std::uint64_t sequence, std::uint64_t turn,
                  const std::expected<ReadBuffer, PosixError>& buffer, bool onCallingThread);
    // Marks the visit done, with lock held on mutex_.
    void complete(std::uint64_t sequence, std::uint64_t turn, bool delivers);
    void waitForTurn(std::uint64_t turn, const struct stat& info, bool onCallingThread,
                     std::string_view path);
    // Delivers finished visits from the front; waits for one when wait is set.
    void deliverReady(bool wait);

    DigestPool* pool_;
    VisitFunction visit_;
    OutcomeReceiver& receiver_;
    const bool diskOrder_;
    const bool handsOver_;            // to the pool or the disk-order window
    const std::size_t windowFolders_; // folders the waiting files may keep open
    const std::size_t windowSize_;

    // Calling thread only: the next sequence, the next turn, its buffer, the
    // outcome of a visit run at once, and, in disk order, the files not yet
    // looked up, the folders they keep open, and where the head was left.
    std::uint64_t end_ = 0;
    std::uint64_t nextTurn_ = 0;
    std::optional<std::expected<ReadBuffer, PosixError>> ownBuffer_;
    EntryOutcome nowOutcome_;
    std::vector<std::uint64_t> waitingFiles_;
    std::unordered_set<const FileDescriptor*> waitingFolders_;
    std::uint64_t head_ = 0;

    std::mutex mutex_;
    std::condition_variable frontDone_;    // the calling thread waits for the oldest visit
    std::condition_variable turnsChanged_; // visits wait for earlier names of their file
    std::unique_ptr<Slot[]> window_;       // a ring of places, indexed by sequence
    // The oldest sequence not yet delivered: moved by the calling thread
    // alone, read by a worker under mutex_ to tell whether it is waited for.
    std::atomic<std::uint64_t> first_{0};
    std::deque<std::uint64_t> unclaimed_;  // handed to the readers, not yet taken, in turn order
    std::size_t drainers_ = 0;             // drain tasks queued or running
    std::size_t turnWaiters_ = 0;
    SameFileTurns turns_;
    std::atomic<bool> stop_{false};
    ReadBufferPool buffers_;
    std::atomic<bool> linksSeen_{false}; // a link was handed over: names may share a file
    std::atomic<std::int64_t> bytesInFlight_{0};
};

} // namespace quelby
