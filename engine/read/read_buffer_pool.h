#pragma once

// The read buffers of one walk's visits. A visit takes one for the file it
// digests and gives it back when done, so a walk holds no more buffers than it
// ever had visits running at once, and allocates each only once. Any thread
// may take or give back.

#include "engine/read/file_digest.h"

#include <cstdint>
#include <expected>
#include <mutex>
#include <vector>

namespace quelby {

class ReadBufferPool
{
public:
    explicit ReadBufferPool(std::int64_t bufferSize) : bufferSize_(bufferSize) {}

    // A free buffer, or a new one; ENOMEM when none can be allocated.
    std::expected<ReadBuffer, PosixError> take();
    void giveBack(ReadBuffer buffer);

private:
    const std::int64_t bufferSize_;
    std::mutex mutex_;
    std::vector<ReadBuffer> free_;
};

} // namespace quelby
