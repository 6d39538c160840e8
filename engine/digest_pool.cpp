#include "digest_pool.h"

#include "disk_kind.h"

#include <algorithm>
#include <sched.h>

namespace quelby {

DigestPool::DigestPool(std::size_t workers)
{
    threads_.reserve(workers);
    for (std::size_t index = 0; index < workers; ++index) {
        threads_.emplace_back([this] { work(); });
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

void DigestPool::run(std::function<void()> task)
{
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wakeUp_.notify_one();
}

void DigestPool::work()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wakeUp_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
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
