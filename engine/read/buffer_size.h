#pragma once

// The size of the buffer a run reads each file through: the number the user
// set, in its unit, as the summaries print it, and the bytes it stands for.
//
// Two defaults, each where the user meets it. The window's entry starts at
// 1 in the unit K, the size its settings have always begun with, and a run
// made with no other choice (RunOptions, the engine's tests) reads the same.
// The command line reads 1M unless told: its users hand it whole folders of
// large files from scripts, where fewer, larger reads cost less and no entry
// shows what was chosen.

#include <cstdint>

namespace quelby {

struct BufferSize
{
    std::int64_t setBufferSize = 1;     // whole units, as the summaries print it
    std::int64_t realBufferSize = 1024; // setBufferSize × the unit, in bytes
};

inline constexpr std::int64_t kBufferUnitK = 1024;
inline constexpr std::int64_t kBufferUnitM = 1048576;
inline constexpr BufferSize kCommandLineBufferSize{1, kBufferUnitM};
// Reads larger than this gain nothing and risk memory.
inline constexpr std::int64_t kLargestBufferSize = std::int64_t{1} << 30;

} // namespace quelby
