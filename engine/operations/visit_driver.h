#pragma once

// The one driver of file visits: a walk, a scrub's reads of its due files and
// an import hand it the files to visit, one after another, and it gives their
// outcomes back in the order they were handed over, so that whoever follows
// sees exactly what a one-worker run would show. The run's read plan decides
// who reads: with one job in name order, the calling thread visits each file
// as it is handed over; otherwise the visits go to a pool of digest workers,
// or to a window read in one sweep of the disk's head, or both.
//
// At most a bounded window of files is in flight. Two names of one file are
// never visited at the same time, and the earlier name always goes first: a
// write through one changes the change time that the other's
// changed-while-read check compares. Instead of waiting idle, the calling
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
    // Called after every read with the bytes it delivered; path is escaped for display.
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

// What one file's visit does, on whichever thread reads it. buffer is the
// error when no read buffer could be had. Returns no outcome when a stop cut
// the visit short: such a file gets no line and no count.
using VisitFunction = std::function<std::optional<EntryOutcome>(
    const EntryToVisit& entry, const std::expected<ReadBuffer, PosixError>& buffer,
    VisitTurn& turn)>;

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

    // The buffer of a run whose calling thread reads every file, allocated
    // before the first file so that a run without one fails as a whole.
    std::expected<void, PosixError> reserveBuffer();
    // Hands a file over; waits, delivering, while the window is full.
    void visit(EntryToVisit entry);
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

    // One job in name order: the visit runs now, and its outcome is delivered.
    void visitNow(const EntryToVisit& entry);
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
                  bool onCallingThread);
    void waitForTurn(std::uint64_t turn, const struct stat& info, bool onCallingThread,
                     std::string_view path);
    void complete(std::uint64_t sequence, std::uint64_t turn, std::optional<EntryOutcome> outcome);
    // Delivers finished visits from the front; waits for one when wait is set.
    void deliverReady(bool wait);
    Slot& slot(std::uint64_t sequence) { return slots_[sequence - firstSequence_]; }

    DigestPool* pool_;
    VisitFunction visit_;
    OutcomeReceiver& receiver_;
    const bool diskOrder_;
    const bool handsOver_;            // to the pool or the disk-order window
    const std::size_t windowFolders_; // folders the waiting files may keep open
    const std::size_t window_;

    // Calling thread only: the visits in the order of their turns, for it to
    // take when it would wait; and, in disk order, the files not yet looked
    // up, the folders they keep open, and where the head was left.
    std::deque<std::uint64_t> readOrder_;
    std::uint64_t nextTurn_ = 0;
    std::vector<std::uint64_t> waitingFiles_;
    std::unordered_set<const FileDescriptor*> waitingFolders_;
    std::uint64_t head_ = 0;

    std::mutex mutex_;
    std::condition_variable frontDone_; // the calling thread waits for the oldest visit
    std::deque<Slot> slots_;            // undelivered visits in the order handed over
    std::uint64_t firstSequence_ = 0;
    std::atomic<bool> stop_{false};
    SameFileTurns turns_{stop_};
    ReadBufferPool buffers_;
    std::atomic<bool> linksSeen_{false}; // a link was handed over: names may share a file
    std::atomic<std::int64_t> bytesInFlight_{0};
};

} // namespace quelby
