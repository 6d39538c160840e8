#include "engine/read/read_buffer_pool.h"

namespace quelby {

std::expected<ReadBuffer, PosixError> ReadBufferPool::take()
{
    {
        const std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            ReadBuffer buffer = std::move(free_.back());
            free_.pop_back();
            return buffer;
        }
    }
    // Allocated outside the lock: a large buffer must not hold back a worker giving one back.
    return ReadBuffer::allocate(bufferSize_);
}

void ReadBufferPool::giveBack(ReadBuffer buffer)
{
    const std::lock_guard lock(mutex_);
    free_.push_back(std::move(buffer));
}

} // namespace quelby
