// How the visits share their state. Two kinds of thread meet here: the
// calling thread, which hands visits over, delivers them and sometimes runs
// one, and the pool's workers, which run visits. The rules that keep them apart:
//
//  - The window is a ring of slots, indexed by sequence; the sequences from
//    first_ to end_ are in flight. end_ belongs to the calling thread, and
//    so does first_, which only it moves; a worker reads first_ under mutex_
//    when it marks its slot done, to tell whether the calling thread waits
//    for that one.
//  - A slot outside the flight belongs to the calling thread, which fills
//    its entry there, without the lock. Handing a
//    visit over (its turn set and its sequence put on unclaimed_, under
//    mutex_) publishes the entry; from then on nobody writes the entry until
//    the slot is delivered.
//  - The thread that takes a sequence off unclaimed_, under mutex_, owns the
//    slot's outcome until it marks the slot done, under mutex_ and with
//    release. The calling thread reads an outcome only once it has seen its
//    slot done (with acquire), and delivers it unlocked: a done slot is
//    touched by nobody else.
//    An entry that needs no visit is written and marked done by the calling
//    thread before it enters the flight.
//  - Same-file turns, unclaimed_, drainers_ and turnWaiters_ are guarded by
//    mutex_.
//  - stop_ and linksSeen_ are flags that are only ever set, bytesInFlight_ a
//    figure for progress: atomics, read by any thread without the lock.
//  - mutex_ is never held while the receiver is called or a visit runs: a
//    visit run on the calling thread delivers what is ready from inside its
//    reads (deliverReady() within deliverReady()), and each takes the lock
//    afresh.
//
// A worker takes one lock per file: to mark its visit done and take the
// next. A file with one name, in a run that has met no link, takes no turn:
// no other visit can be of the same file, unless its folder is mounted twice
// within the tree; then a write through one name can at worst make the
// other's read fail as changed while read.

#include "engine/operations/visit_driver.h"

#include "engine/read/disk_order.h"
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

// In name order, the visits in flight per job: enough that a worker rarely
// finds nothing to take while the calling thread walks or digests.
constexpr std::size_t kVisitsPerJob = 16;

// The visits a worker runs for one run before it lets another run's take a turn.
constexpr std::size_t kDrainBatch = 64;

// A slot's strings keep their allocation for the next file up to this size:
// a window of thousands must not keep the longest paths it has ever seen.
constexpr std::size_t kKeptCapacity = 256;

void releaseIfLarge(std::string& text)
{
    if (text.capacity() > kKeptCapacity) {
        std::string().swap(text);
    }
}

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
    if (info.st_nlink <= 1 && !driver_.linksSeen_.load(std::memory_order_acquire)) {
        return false;
    }
    driver_.waitForTurn(turn_, info, onCallingThread_, path_);
    return true;
}

VisitDriver::VisitDriver(const ReadPlan& plan, DigestPool* pool, VisitFunction visit,
                         OutcomeReceiver& receiver)
    : pool_(plan.jobs > 1 ? pool : nullptr), visit_(std::move(visit)), receiver_(receiver),
      diskOrder_(plan.order == ReadOrder::disk), handsOver_(pool_ != nullptr || diskOrder_),
      windowFolders_(descriptorBudget(plan.jobs).windowFolders),
      // Each visit in flight may keep its folder open.
      windowSize_(diskOrder_ ? kDiskWindow
                             : std::min(kVisitsPerJob * std::max<std::size_t>(plan.jobs, 1),
                                        windowFolders_)),
      buffers_(plan.bufferSize)
{
    if (handsOver_) {
        window_ = std::make_unique<Slot[]>(windowSize_);
    }
}

VisitDriver::~VisitDriver()
{
    stop();
    if (pool_ != nullptr) {
        pool_->forget(this);
    }
    if (ownBuffer_ && *ownBuffer_) {
        buffers_.giveBack(std::move(**ownBuffer_));
    }
}

std::expected<void, PosixError> VisitDriver::reserveBuffer()
{
    if (!ownBuffer_) {
        ownBuffer_ = buffers_.take();
    }
    if (!*ownBuffer_) {
        return std::unexpected(ownBuffer_->error());
    }
    return {};
}

void VisitDriver::visitNow(const EntryToVisit& entry)
{
    (void)reserveBuffer(); // a failure is the visit's to report
    nowOutcome_.clear();
    VisitTurn turn(*this, kNoTurn, true, entry.path);
    if (!visit_(entry, *ownBuffer_, turn, nowOutcome_)) {
        stop();
        return;
    }
    bytesInFlight_.fetch_sub(nowOutcome_.counts.bytesRead, std::memory_order_relaxed);
    receiver_.deliver(nowOutcome_);
}

bool VisitDriver::startsNewWindow(const EntryToVisit& entry) const
{
    if (end_ - first_.load(std::memory_order_relaxed) >= windowSize_) {
        return true;
    }
    return waitingFolders_.size() >= windowFolders_ &&
           !waitingFolders_.contains(entry.folder.get());
}

VisitDriver::Slot& VisitDriver::nextSlot()
{
    while (end_ - first_.load(std::memory_order_relaxed) >= windowSize_) {
        deliverReady(true);
    }
    Slot& free = slot(end_);
    free.turn = kNoTurn;
    free.delivers = false;
    free.done.store(false, std::memory_order_relaxed);
    return free;
}

void VisitDriver::visit(const EntryToVisit& entry)
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
    if (entry.listedAsLink) {
        linksSeen_.store(true, std::memory_order_release);
    }
    Slot& waiting = nextSlot();
    waiting.entry = entry;
    const std::uint64_t sequence = end_++;
    if (!diskOrder_) {
        dispatch(std::span(&sequence, 1));
    } else {
        waitingFolders_.insert(waiting.entry.folder.get());
        waitingFiles_.push_back(sequence);
        if (waiting.entry.listedAsLink) {
            readWindow();
            return;
        }
    }
    deliverReady(false);
}

void VisitDriver::dispatch(std::span<const std::uint64_t> sequences)
{
    std::size_t drainersWanted = 0;
    {
        const std::lock_guard lock(mutex_);
        for (const std::uint64_t sequence : sequences) {
            const std::uint64_t turn = nextTurn_++;
            slot(sequence).turn = turn;
            turns_.handedOver(turn);
            unclaimed_.push_back(sequence);
        }
        if (pool_ != nullptr) {
            const std::size_t wanted = std::min(pool_->workers(), unclaimed_.size());
            drainersWanted = wanted > drainers_ ? wanted - drainers_ : 0;
            drainers_ += drainersWanted;
        }
    }
    for (std::size_t index = 0; index < drainersWanted; ++index) {
        pool_->run(this, [this] { drain(); });
    }
}

void VisitDriver::drain()
{
    auto buffer = buffers_.take();
    std::unique_lock lock(mutex_);
    for (std::size_t count = 0; count < kDrainBatch && !unclaimed_.empty(); ++count) {
        const std::uint64_t sequence = unclaimed_.front();
        unclaimed_.pop_front();
        const std::uint64_t turn = slot(sequence).turn;
        lock.unlock();
        runVisit(sequence, turn, buffer, false);
        lock.lock();
    }
    const bool more = !unclaimed_.empty() && !stopped();
    if (!more) {
        --drainers_;
    }
    lock.unlock();
    if (buffer) {
        buffers_.giveBack(std::move(*buffer));
    }
    if (more) {
        // Stays counted as a drainer: the task goes on from the back of the queue.
        pool_->run(this, [this] { drain(); });
    }
}

void VisitDriver::runVisit(std::uint64_t sequence, std::uint64_t turn,
                           const std::expected<ReadBuffer, PosixError>& buffer,
                           bool onCallingThread)
{
    bool delivers = false;
    Slot& own = slot(sequence);
    // Cleared here, by the thread that fills it in, rather than by the
    // calling thread: its memory then moves between processors' caches once.
    own.outcome.clear();
    if (!stopped()) {
        VisitTurn visitTurn(*this, turn, onCallingThread, own.entry.path);
        delivers = visit_(own.entry, buffer, visitTurn, own.outcome);
    }
    const std::lock_guard lock(mutex_);
    complete(sequence, turn, delivers);
}

void VisitDriver::complete(std::uint64_t sequence, std::uint64_t turn, bool delivers)
{
    // Ended before it is done: once done, the calling thread may deliver it.
    turns_.ended(turn);
    if (turnWaiters_ > 0) {
        turnsChanged_.notify_all();
    }
    Slot& own = slot(sequence);
    own.delivers = delivers;
    own.done.store(true, std::memory_order_release);
    if (sequence == first_.load(std::memory_order_relaxed)) {
        frontDone_.notify_one();
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
        placed[i].inode = slot(waitingFiles_[i]).entry.listedInode;
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
        const EntryToVisit& entry = slot(waitingFiles_[i]).entry;
        placed[i].place = diskPlaceOf(entry.folder->get(), entry.name);
        previous = &placed[i];
    }
    std::vector<std::uint64_t> sweep;
    sweep.reserve(waitingFiles_.size());
    for (const std::size_t i : elevatorOrder(placed, head_)) {
        sweep.push_back(waitingFiles_[i]);
    }
    dispatch(sweep);
    waitingFiles_.clear();
    waitingFolders_.clear();
    while (end_ != first_.load(std::memory_order_relaxed)) {
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
    if (diskOrder_ && end_ - first_ >= windowSize_) {
        readWindow();
    }
    Slot& done = nextSlot();
    done.outcome = std::move(outcome);
    done.delivers = true;
    done.done.store(true, std::memory_order_relaxed);
    ++end_;
    deliverReady(false);
}

void VisitDriver::stop()
{
    stop_.store(true);
    const std::lock_guard lock(mutex_);
    turnsChanged_.notify_all();
}

bool VisitDriver::finish()
{
    if (diskOrder_) {
        readWindow();
    }
    while (end_ != first_.load(std::memory_order_relaxed)) {
        deliverReady(true);
    }
    return stopped();
}

void VisitDriver::waitForTurn(std::uint64_t turn, const struct stat& info, bool onCallingThread,
                              std::string_view path)
{
    std::unique_lock lock(mutex_);
    turns_.opened(turn, info.st_dev, info.st_ino);
    // A later visit may have been waiting for this one to open its file.
    if (turnWaiters_ > 0) {
        turnsChanged_.notify_all();
    }
    ++turnWaiters_;
    while (!stopped() && !turns_.mayRead(turn, info.st_dev, info.st_ino)) {
        if (!onCallingThread) {
            turnsChanged_.wait(lock);
            continue;
        }
        // The calling thread keeps following its receiver while it waits.
        turnsChanged_.wait_for(lock, kPollInterval);
        lock.unlock();
        if (receiver_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed), path)) {
            stop();
        }
        lock.lock();
    }
    --turnWaiters_;
}

void VisitDriver::deliverReady(bool wait)
{
    const auto frontDone = [this] {
        return end_ == first_.load(std::memory_order_relaxed) ||
               slot(first_.load(std::memory_order_relaxed)).done.load(std::memory_order_acquire);
    };
    if (wait && !frontDone()) {
        std::unique_lock lock(mutex_);
        if (!unclaimed_.empty()) {
            // Rather than wait, the calling thread takes the first visit in
            // the order of the reads that no worker has taken yet: it digests
            // as a worker would, and a run never waits behind another run's
            // files for a shared worker.
            const std::uint64_t sequence = unclaimed_.front();
            unclaimed_.pop_front();
            const std::uint64_t turn = slot(sequence).turn;
            lock.unlock();
            (void)reserveBuffer(); // a failure is the visit's to report
            runVisit(sequence, turn, *ownBuffer_, true);
        } else {
            const std::string_view currentPath = slot(first_).entry.path;
            lock.unlock();
            if (receiver_.pollWhileWaiting(bytesInFlight_.load(std::memory_order_relaxed),
                                           currentPath)) {
                stop();
            }
            lock.lock();
            frontDone_.wait_for(lock, kPollInterval, frontDone);
        }
    }
    // The finished visits at the front, delivered without the lock: nobody
    // else touches a done slot, and only this thread moves first_.
    std::uint64_t sequence = first_.load(std::memory_order_relaxed);
    for (; sequence != end_ && slot(sequence).done.load(std::memory_order_acquire); ++sequence) {
        Slot& finished = slot(sequence);
        finished.entry.folder.reset(); // counted against the limit of open files until now
        if (finished.delivers) {
            bytesInFlight_.fetch_sub(finished.outcome.counts.bytesRead,
                                     std::memory_order_relaxed);
            receiver_.deliver(finished.outcome);
        }
        for (std::string* text : {&finished.entry.name, &finished.entry.path, &finished.outcome.path,
                                  &finished.outcome.lines, &finished.outcome.notices,
                                  &finished.outcome.error}) {
            releaseIfLarge(*text);
        }
        first_.store(sequence + 1, std::memory_order_relaxed);
    }
}

} // namespace quelby
