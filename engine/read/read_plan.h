#pragma once

// How a run reads its files' contents: how many at once, in which order, and
// into buffers of what size. Whatever the plan, the report shows the files
// in walk order; the plan only decides who reads what when.

#include "engine/read/buffer_size.h"
#include "engine/read/file_digest.h"

#include <cstddef>
#include <cstdint>

namespace quelby {

// The order in which a run reads its files' contents.
enum class ReadOrder
{
    name, // one after another, in walk order
    disk  // a window at a time, in the order of their places on the disk
};

struct ReadPlan
{
    std::size_t jobs = 1; // files digested at once, when a pool is given
    ReadOrder order = ReadOrder::name;
    // Bytes per read, within the run's share of memory.
    std::int64_t bufferSize = BufferSize{}.realBufferSize;
};

// The plan for jobs files at once in order, each read through a buffer of
// realBufferSize bytes, or less when that many buffers would take more than
// a run's share of memory (cappedBufferSize).
inline ReadPlan readPlan(std::size_t jobs, ReadOrder order, std::int64_t realBufferSize)
{
    return ReadPlan{jobs, order, cappedBufferSize(realBufferSize, jobs)};
}

} // namespace quelby
