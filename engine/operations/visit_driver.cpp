// How the visits share their state. Two kinds of thread meet here: the
// calling thread, which hands visits over, delivers them and sometimes runs one,
// and the pool's workers, which run visits. The rules that keep them apart:
//
//  - slots_ changes shape only on the calling thread: push_back in visit() and
//    add(), pop_front in deliverReady(), each under mutex_. Workers never add
//    or remove a slot; they reach their own through slot(sequence), under
//    mutex_.
//  - So the calling thread may read slots_.size() and empty() without the lock
//    (the loops in visit(), add() and finish()): only that thread changes them,
//    and a worker holding the lock only reads the deque's shape.
//  - Each slot's fields:
//      entry     set by the calling thread at the push and never changed until
//                the visit completes, so the thread whose claim() wins reads it
//                without the lock, and the calling thread reads its path for the
//                progress while the slot is not done; claimed is set by that
//                one thread under mutex_, and none can be claimed before the
//                calling thread has given it a turn, under mutex_; until then
//                only the calling thread reads it (disk order's lookups);
//                complete() takes it away under mutex_;
//      done, outcome
//                written once by the thread that ran the visit, in complete(),
//                under mutex_ (or at the push for an entry that needed no
//                visit); outcome is then moved out by the calling thread, under
//                mutex_, just before the slot is removed.
//    firstSequence_ moves with pop_front, on the calling thread, under mutex_.
//  - Only a done slot is removed, and only from the front; push_back and
//    pop_front on a deque leave references to the other elements valid. So a
//    running visit's slot stays where it is until its thread has marked it
//    done, and nothing touches it after that but the calling thread.
//  - The same-file turns and the buffer pool keep their own locks, never taken
//    while mutex_ is held; a visit ends its turn before its slot is marked
//    done, so no visit waits for one already delivered.
//  - readOrder_, nextTurn_ and the waiting window belong to the calling thread.
//  - stop_ and linksSeen_ are flags that are only ever set, bytesInFlight_ a
//    figure for progress: atomics, read by any thread without the lock.
//  - mutex_ is never held while the receiver is called or a visit runs: a visit
//    run on the calling thread delivers what is ready from inside its reads
//    (deliverReady() within deliverReady()), and each takes the lock afresh.

#include "engine/operations/visit_driver.h"

#include "engine/read/disk_order.h"
#include "engine/text/display_text.h"
#include "engine/tree/descriptor_budget.h"

#include <algorithm>
#include <chrono>

namespace quelby {

namespace {

// How often a waiting calling thread looks at its receiver: a stop is seen within this.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Disk order: the entries a window holds. The folders its files may keep open
// are as many as the limit of open files allows (engine/tree/descriptor_budget.h).
constexpr std::size_t kDiskWindow = 4096;

} // namespace

bool VisitTurn::stopRequested()
{
    // Where the calling thread reads every file, nothing else asks the
    // receiver while a file is read: the visit does.
    if (!driver_.handsOver_ && onCallingThread_ && !driver_.stopped() &&
        driver_.receiver_.stopRequested()) {
        driver_.stop();
    }
    return driver_.stopped();
}

void VisitTurn::bytesRead(std::size_t count, std::string_view path)
{
    const auto inFlight = driver_.bytesInFlight_.fetch_add(static_cast<std::int64_t>(count),
                                                           std::memory_order_relaxed);
    // On the calling thread the receiver may be given the files the workers
    // finished meanwhile, and asked whether to stop: a huge file read here
    // must not hold back the lines of the files before it.
    if (onCallingThread_) {
        if (driver_.handsOver_) {
            driver_.deliverReady(false);
        }
        if (driver_.receiver_.pollWhileWaiting(inFlight + static_cast<std::int64_t>(count),
                                               path)) {
            driver_.stop();
        }
    }
}

// Another name of the file may have been visited, and its attributes
// written, since info was taken, even when this visit never had to wait:
// then the file's state is taken again. Only a file with several names, or
// a run that has met a link, can have another name here; and only where
// visits are handed over can another name's visit come between.
bool VisitTurn::opened(const struct stat& info)
{
    if (!driver_.handsOver_) {
        return false;
    }
    driver_.waitForTurn(turn_, info, onCallingThread_, path_);
    return info.st_nlink > 1 || driver_.linksSeen_.load(std::memory_order_acquire);
}

VisitDriver::VisitDriver(const ReadPlan& plan, DigestPool* pool, VisitFunction visit,
                         OutcomeReceiver& receiver)
    : pool_(plan.jobs > 1 ? pool : nullptr), visit_(std::move(visit)), receiver_(receiver),
      diskOrder_(plan.order == ReadOrder::disk), handsOver_(pool_ != nullptr || diskOrder_),
      windowFolders_(descriptorBudget(plan.jobs).windowFolders),
      // Each visit in flight may keep its folder open.
      window_(diskOrder_ ? kDiskWindow
                         : std::min(4 * std::max<std::size_t>(plan.jobs, 1), windowFolders_)),
      buffers_(plan.bufferSize)
{
}

VisitDriver::~VisitDriver()
{
    stop();
    if (pool_ != nullptr) {
        pool_->forget(this);
    }
}

std::expected<void, PosixError> VisitDriver::reserveBuffer()
{
    if (handsOver_) {
        return {}; // each visit takes its own when it starts
    }
    auto buffer = buffers_.take();
    if (!buffer) {
        return std::unexpected(buffer.error());
    }
    buffers_.giveBack(std::move(*buffer));
    return {};
}

void VisitDriver::visitNow(const EntryToVisit& entry)
{
    auto buffer = buffers_.take();
    VisitTurn turn(*this, kNoTurn, true, entry.path);
    std::optional<EntryOutcome> outcome = visit_(entry, buffer, turn);
    if (buffer) {
        buffers_.giveBack(std::move(*buffer));
    }
    if (!outcome) {
        stop();
        return;
    }
    bytesInFlight_.fetch_sub(outcome->counts.bytesRead, std::memory_order_relaxed);
    receiver_.deliver(*outcome);
}

bool VisitDriver::startsNewWindow(const EntryToVisit& entry) const
{
    if (slots_.size() >= window_) {
        return true;
    }
    return waitingFolders_.size() >= windowFolders_ &&
           !waitingFolders_.contains(entry.folder.get());
}

void VisitDriver::visit(EntryToVisit entry)
{
    if (!handsOver_) {
        if (!stopped()) {
            visitNow(entry);
        }
        return;
    }
    if (diskOrder_ && (startsNewWindow(entry) || entry.listedAsLink)) {
        // A link may lead to any file of the window: it is read after every
        // file handed over before it and before every file after it.
        readWindow();
    }
    while (slots_.size() >= window_) {
        deliverReady(true);
    }
    std::uint64_t sequence = 0;
    {
        const std::lock_guard lock(mutex_);
        sequence = firstSequence_ + slots_.size();
        if (entry.listedAsLink) {
            linksSeen_.store(true, std::memory_order_release);
        }
        Slot waiting;
        waiting.entry = std::make_unique<EntryToVisit>(std::move(entry));
        slots_.push_back(std::move(waiting));
    }
    if (!diskOrder_) {
        dispatch(sequence);
    } else {
        const EntryToVisit& waiting = *slot(sequence).entry;
        waitingFolders_.insert(waiting.folder.get());
        waitingFiles_.push_back(sequence);
        if (waiting.listedAsLink) {
            readWindow();
            return;
        }
    }
    deliverReady(false);
}

void VisitDriver::dispatch(std::uint64_t sequence)
{
    const std::uint64_t turn = nextTurn_++;
    {
        const std::lock_guard lock(mutex_);
        slot(sequence).turn = turn;
    }
    turns_.handedOver(turn);
    readOrder_.push_back(sequence);
    if (pool_ != nullptr) {
        pool_->run(this, [this, sequence] {
            std::uint64_t claimedTurn = kNoTurn;
            if (const EntryToVisit* claimed = claim(sequence, claimedTurn)) {
                runVisit(sequence, claimedTurn, *claimed, false);
            }
        });
    }
}

void VisitDriver::readWindow()
{
    // The lookups go in inode order, as the file system keeps its inodes;
    // names of one inode share one lookup, so they keep the order they were handed over in.
    std::vector<std::size_t> byInode(waitingFiles_.size());
    std::vector<PlacedFile> placed(waitingFiles_.size());
    for (std::size_t i = 0; i < waitingFiles_.size(); ++i) {
        byInode[i] = i;
        placed[i].inode = slot(waitingFiles_[i]).entry->listedInode;
    }
    std::ranges::stable_sort(byInode, {}, [&](std::size_t i) { return placed[i].inode; });
    const PlacedFile* previous = nullptr;
    for (const std::size_t i : byInode) {
        if (stopped()) {
            break;
        }
        // Sorted, the names of one inode lie side by side.
        if (previous != nullptr && placed[i].inode != 0 && previous->inode == placed[i].inode) {
            placed[i] = *previous;
            continue;
        }
        const EntryToVisit& entry = *slot(waitingFiles_[i]).entry;
        placed[i].place = diskPlaceOf(entry.folder->get(), entry.name);
        previous = &placed[i];
    }
    for (const std::size_t i : elevatorOrder(placed, head_)) {
        dispatch(waitingFiles_[i]);
    }
    waitingFiles_.clear();
    waitingFolders_.clear();
    while (!slots_.empty()) {
        deliverReady(true);
    }
}

void VisitDriver::add(EntryOutcome outcome)
{
    if (!handsOver_) {
        receiver_.deliver(outcome);
        return;
    }
    // Entries that need no visit count in the window too: a million of them
    // behind one huge file must not pile up.
    if (diskOrder_ && slots_.size() >= window_) {
        readWindow();
    }
    while (slots_.size() >= window_) {
        deliverReady(true);
    }
    {
        const std::lock_guard lock(mutex_);
        Slot done;
        done.done = true;
        done.outcome = std::make_unique<EntryOutcome>(std::move(outcome));
        slots_.push_back(std::move(done));
    }
    deliverReady(false);
}

void VisitDriver::stop()
{
    stop_.store(true);
    turns_.wakeAll();
}

bool VisitDriver::finish()
{
    if (diskOrder_) {
        readWindow();
    }
    while (!slots_.empty()) {
        deliverReady(true);
    }
    return stopped();
}

const EntryToVisit* VisitDriver::claim(std::uint64_t sequence, std::uint64_t& turn)
{
    const std::lock_guard lock(mutex_);
    if (sequence < firstSequence_) {
        return nullptr;
    }
    Slot& own = slot(sequence);
    if (own.claimed || own.turn == kNoTurn) {
        return nullptr;
    }
    own.claimed = true;
    turn = own.turn;
    return own.entry.get();
}

void VisitDriver::runVisit(std::uint64_t sequence, std::uint64_t turn, const EntryToVisit& entry,
                           bool onCallingThread)
{
    std::optional<EntryOutcome> outcome;
    if (!stopped()) {
        auto buffer = buffers_.take();
        VisitTurn visitTurn(*this, turn, onCallingThread, entry.path);
        outcome = visit_(entry, buffer, visitTurn);
        if (buffer) {
            buffers_.giveBack(std::move(*buffer));
        }
    }
    complete(sequence, turn, std::move(outcome));
}

void VisitDriver::waitForTurn(std::uint64_t turn, const struct stat& info, bool onCallingThread,
                              std::string_view path)
{
    if (!onCallingThread) {
        turns_.waitForTurn(turn, info.st_dev, info.st_ino, {});
        return;
    }
    turns_.waitForTurn(turn, info.st_dev, info.st_ino, [this, path] {
        if (receiver_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed),
                                       escapedForReport(path))) {
            stop();
        }
    });
}

void VisitDriver::complete(std::uint64_t sequence, std::uint64_t turn,
                           std::optional<EntryOutcome> outcome)
{
    // Ended before it is done: once done, the calling thread may deliver and remove it.
    turns_.ended(turn);
    auto kept = outcome ? std::make_unique<EntryOutcome>(std::move(*outcome)) : nullptr;
    std::unique_ptr<EntryToVisit> visited;
    const std::lock_guard lock(mutex_);
    Slot& own = slot(sequence);
    own.done = true;
    own.outcome = std::move(kept);
    visited = std::move(own.entry); // freed once the lock is let go
    if (sequence == firstSequence_) {
        frontDone_.notify_one();
    }
}

void VisitDriver::deliverReady(bool wait)
{
    std::unique_lock lock(mutex_);
    if (wait && !slots_.empty() && !slots_.front().done) {
        // Rather than wait, the calling thread takes the first visit in
        // the order of the reads that no worker has taken yet: it digests as
        // a worker would, and a run never waits behind another run's files
        // for a shared worker.
        lock.unlock();
        while (!readOrder_.empty()) {
            const std::uint64_t sequence = readOrder_.front();
            readOrder_.pop_front();
            std::uint64_t turn = kNoTurn;
            if (const EntryToVisit* entry = claim(sequence, turn)) {
                runVisit(sequence, turn, *entry, true);
                wait = false;
                break;
            }
        }
        lock.lock();
    }
    if (wait && !slots_.empty() && !slots_.front().done) {
        const std::string currentPath = escapedForReport(slots_.front().entry->path);
        lock.unlock();
        if (receiver_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed),
                                       currentPath)) {
            stop();
        }
        lock.lock();
        frontDone_.wait_for(lock, kPollInterval, [this] { return slots_.front().done; });
    }
    while (!slots_.empty() && slots_.front().done) {
        std::unique_ptr<EntryOutcome> outcome = std::move(slots_.front().outcome);
        slots_.pop_front();
        ++firstSequence_;
        while (!readOrder_.empty() && readOrder_.front() < firstSequence_) {
            readOrder_.pop_front();
        }
        if (outcome) {
            lock.unlock();
            bytesInFlight_.fetch_sub(outcome->counts.bytesRead, std::memory_order_relaxed);
            receiver_.deliver(*outcome);
            lock.lock();
        }
    }
}

} // namespace quelby
