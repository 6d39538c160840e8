// How the visits share their state. Two kinds of thread meet here: the walk's
// own thread, which hands visits over, delivers them and sometimes runs one,
// and the pool's workers, which run visits. The rules that keep them apart:
//
//  - slots_ changes shape only on the walk's thread: push_back in visit() and
//    add(), pop_front in deliverReady(), each under mutex_. Workers never add
//    or remove a slot; they reach their own through slot(sequence), under
//    mutex_.
//  - So the walk's thread may read slots_.size() and empty() without the lock
//    (the loops in visit(), add() and finish()): only that thread changes them,
//    and a worker holding the lock only reads the deque's shape.
//  - Each slot's fields:
//      entry     set by the walk's thread at the push and never changed until
//                the visit completes, so the thread whose claim() wins reads it
//                without the lock, and the walk's thread reads its path for the
//                progress while the slot is not done; claimed is set by that
//                one thread under mutex_, and none can be claimed before the
//                walk's thread has given it a turn, under mutex_; until then
//                only the walk's thread reads it (disk order's lookups);
//                complete() takes it away under mutex_;
//      done, outcome
//                written once by the thread that ran the visit, in complete(),
//                under mutex_ (or at the push for an entry that needed no
//                visit); outcome is then moved out by the walk's thread, under
//                mutex_, just before the slot is removed.
//    firstSequence_ moves with pop_front, on the walk's thread, under mutex_.
//  - Only a done slot is removed, and only from the front; push_back and
//    pop_front on a deque leave references to the other elements valid. So a
//    running visit's slot stays where it is until its thread has marked it
//    done, and nothing touches it after that but the walk's thread.
//  - The same-file turns and the buffer pool keep their own locks, never taken
//    while mutex_ is held; a visit ends its turn before its slot is marked
//    done, so no visit waits for one already delivered.
//  - readOrder_, nextTurn_ and the waiting window belong to the walk's thread.
//  - stop_ and linksSeen_ are flags that are only ever set, bytesInFlight_ a
//    figure for progress: atomics, read by any thread without the lock.
//  - mutex_ is never held while the host is called or a visit runs: a visit
//    run on the walk's thread delivers what is ready from inside its reads
//    (deliverReady() within deliverReady()), and each takes the lock afresh.

#include "engine/operations/ordered_visits.h"

#include "engine/operations/file_step.h"
#include "engine/read/disk_order.h"
#include "engine/text/display_text.h"
#include "engine/tree/descriptor_budget.h"

#include <algorithm>
#include <chrono>

namespace quelby {

namespace {

// How often a waiting walk looks at its observer: a stop is seen within this.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Disk order: the entries a window holds. The folders its files may keep open
// are as many as the limit of open files allows (engine/tree/descriptor_budget.h).
constexpr std::size_t kDiskWindow = 4096;

} // namespace

// A worker's side of one visit: the stop flag, the bytes read, and the turn
// to take once the file is open.
class OrderedVisits::TaskContext : public VisitContext
{
public:
    TaskContext(OrderedVisits& owner, std::uint64_t turn, bool onWalkThread,
                std::string_view path)
        : owner_(owner), turn_(turn), onWalkThread_(onWalkThread), path_(path)
    {
    }
    bool stopRequested() override { return owner_.stopped(); }
    void bytesRead(std::size_t count, std::string_view path) override
    {
        const auto inFlight = owner_.bytesInFlight_.fetch_add(static_cast<std::int64_t>(count),
                                                              std::memory_order_relaxed);
        // On the walk's own thread the observer may be told of the files the
        // workers finished meanwhile, and asked whether to stop: a huge file
        // read here must not hold back the lines of the files before it.
        if (onWalkThread_) {
            owner_.deliverReady(false);
            if (owner_.host_.pollWhileWaiting(inFlight + static_cast<std::int64_t>(count), path)) {
                owner_.stop();
            }
        }
    }
    // Another name of the file may have been visited, and its attributes
    // written, since info was taken, even when this visit never had to wait:
    // then the file's state is taken again. Only a file with several names,
    // or a walk that has met a link, can have another name here.
    bool opened(const struct stat& info) override
    {
        owner_.waitForTurn(turn_, info, onWalkThread_, path_);
        return info.st_nlink > 1 || owner_.linksSeen_.load(std::memory_order_acquire);
    }

private:
    OrderedVisits& owner_;
    std::uint64_t turn_;
    bool onWalkThread_;
    std::string_view path_;
};

OrderedVisits::OrderedVisits(const RunOptions& options, const TreeRules& rules,
                             PseudoFileSystems& pseudoFileSystems, DigestPool* pool,
                             std::size_t jobs, VisitHost& host)
    : options_(options), rules_(rules), pseudoFileSystems_(pseudoFileSystems), pool_(pool),
      host_(host), diskOrder_(options.order == ReadOrder::disk),
      windowFolders_(descriptorBudget(jobs).windowFolders),
      // Each visit in flight may keep its folder open.
      window_(diskOrder_ ? kDiskWindow
                         : std::min(4 * std::max<std::size_t>(jobs, 1), windowFolders_)),
      buffers_(options.realBufferSize)
{
}

OrderedVisits::~OrderedVisits()
{
    stop();
    if (pool_ != nullptr) {
        pool_->forget(this);
    }
}

bool OrderedVisits::startsNewWindow(const EntryToVisit& entry) const
{
    if (slots_.size() >= window_) {
        return true;
    }
    return waitingFolders_.size() >= windowFolders_ &&
           !waitingFolders_.contains(entry.folder.get());
}

void OrderedVisits::visit(EntryToVisit entry)
{
    if (diskOrder_ && (startsNewWindow(entry) || entry.listedAsLink)) {
        // A link may lead to any file of the window: it is read after every
        // file before it and before every file after it, as in walk order.
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

void OrderedVisits::dispatch(std::uint64_t sequence)
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

void OrderedVisits::readWindow()
{
    // The lookups go in inode order, as the file system keeps its inodes;
    // names of one inode share one lookup, so they keep their walk order.
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

void OrderedVisits::add(EntryOutcome outcome)
{
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

void OrderedVisits::stop()
{
    stop_.store(true);
    turns_.wakeAll();
}

bool OrderedVisits::finish()
{
    if (diskOrder_) {
        readWindow();
    }
    while (!slots_.empty()) {
        deliverReady(true);
    }
    return stopped();
}

const EntryToVisit* OrderedVisits::claim(std::uint64_t sequence, std::uint64_t& turn)
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

void OrderedVisits::runVisit(std::uint64_t sequence, std::uint64_t turn,
                             const EntryToVisit& entry, bool onWalkThread)
{
    std::optional<EntryOutcome> outcome;
    if (!stopped()) {
        auto buffer = buffers_.take();
        TaskContext context(*this, turn, onWalkThread, entry.path);
        if (buffer) {
            outcome = visitEntry(options_, rules_, entry, *buffer, pseudoFileSystems_, context);
            buffers_.giveBack(std::move(*buffer));
        } else {
            outcome.emplace();
            outcome->path = entry.path;
            outcome->counts.totalCount = 1;
            reportUnreadable(options_, *outcome, escapedForReport(entry.path),
                             buffer.error().description);
        }
    }
    complete(sequence, turn, std::move(outcome));
}

void OrderedVisits::waitForTurn(std::uint64_t turn, const struct stat& info, bool onWalkThread,
                                std::string_view path)
{
    if (!onWalkThread) {
        turns_.waitForTurn(turn, info.st_dev, info.st_ino, {});
        return;
    }
    turns_.waitForTurn(turn, info.st_dev, info.st_ino, [this, path] {
        if (host_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed),
                                   escapedForReport(path))) {
            stop();
        }
    });
}

void OrderedVisits::complete(std::uint64_t sequence, std::uint64_t turn,
                             std::optional<EntryOutcome> outcome)
{
    // Ended before it is done: once done, the walk may deliver and remove it.
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

void OrderedVisits::deliverReady(bool wait)
{
    std::unique_lock lock(mutex_);
    if (wait && !slots_.empty() && !slots_.front().done) {
        // Rather than wait, the walk's own thread takes the first visit in
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
        if (host_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed), currentPath)) {
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
            host_.deliver(*outcome);
            lock.lock();
        }
    }
}

} // namespace quelby
