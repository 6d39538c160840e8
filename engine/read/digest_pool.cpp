#include "engine/read/digest_pool.h"

#include "engine/platform/disk_kind.h"

#include <algorithm>
#include <sched.h>

namespace quelby {

DigestPool::DigestPool(std::size_t workers) : runningFor_(workers, nullptr)
{
    threads_.reserve(workers);
    for (std::size_t index = 0; index < workers; ++index) {
        threads_.emplace_back([this, index] { work(index); });
    }
}

DigestPool::~DigestPool()
{
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wakeUp_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void DigestPool::run(const void* owner, std::function<void()> task)
{
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(Task{owner, std::move(task)});
    }
    wakeUp_.notify_one();
}

void DigestPool::forget(const void* owner)
{
    std::unique_lock lock(mutex_);
    const auto owned = [owner](const Task& task) { return task.owner == owner; };
    std::erase_if(tasks_, owned);
    taskEnded_.wait(lock, [this, owner] {
        return std::ranges::find(runningFor_, owner) == runningFor_.end();
    });
    // A task that was running may have handed over another for its owner.
    std::erase_if(tasks_, owned);
}

void DigestPool::work(std::size_t worker)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeUp_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return;
        }
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        runningFor_[worker] = task.owner;
        lock.unlock();
        task.call();
        task.call = nullptr; // whatever it holds goes before its owner may
        lock.lock();
        runningFor_[worker] = nullptr;
        taskEnded_.notify_all();
    }
}

std::unique_ptr<DigestPool> poolForOneWalk(std::size_t jobs)
{
    return jobs > 1 ? std::make_unique<DigestPool>(jobs - 1) : nullptr;
}

std::size_t availableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
    }
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

std::size_t defaultDigestJobs(const std::string& folder)
{
    return onRotationalDisk(folder) ? 1 : availableProcessors();
}

} // namespace quelby
