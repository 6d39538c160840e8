#pragma once

// A fixed set of digest workers that runs file visits handed to it, first in,
// first out. Runs that overlap share one pool instead of each starting its
// own threads. The pool knows nothing of walks: each task is a plain call,
// tagged with its owner so that an owner that goes can take back its tasks.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelby {

class DigestPool
{
public:
    explicit DigestPool(std::size_t workers);
    ~DigestPool(); // finishes the tasks already handed over
    DigestPool(const DigestPool&) = delete;
    DigestPool& operator=(const DigestPool&) = delete;

    std::size_t workers() const { return threads_.size(); }
    void run(const void* owner, std::function<void()> task);
    // Drops the owner's tasks not yet started and waits for those running.
    void forget(const void* owner);

private:
    struct Task
    {
        const void* owner;
        std::function<void()> call;
    };
    void work(std::size_t worker);

    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::condition_variable taskEnded_;
    std::deque<Task> tasks_;
    std::vector<const void*> runningFor_; // each worker's current owner
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

// The workers for one walk that digests jobs files at once: the walk's own
// thread digests too, so jobs - 1 of them; none for one file at a time.
std::unique_ptr<DigestPool> poolForOneWalk(std::size_t jobs);

// The number of processors this process may run on.
std::size_t availableProcessors();

// How many files to digest at once below folder by default: one on a
// spinning disk, whose head would otherwise jump between files, else one per
// available processor.
std::size_t defaultDigestJobs(const std::string& folder);

} // namespace quelby
