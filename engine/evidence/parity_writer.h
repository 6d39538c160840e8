#pragma once

// Making a folder's parity sets. A folder's covered files are split into
// sets of at most 32,768 input slices each, and each set is written in one
// pass over its files' bytes, which proves every file against the SHA-256 it
// is recorded with: a set is never made from bytes that are not the ones
// its digest vouches for.

#include "engine/evidence/parity_format.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

namespace quelby::parity {

// At most this much memory for recovery data at once, whatever the folder;
// larger recovery data is computed in passes over byte ranges of its slices.
inline constexpr std::uint64_t kParityMemoryCap = 256ull << 20;

struct FileToCover
{
    int fd = -1;           // the file, read from its start; any offset on entry
    // Without fd, the file is opened by its record's name in this folder,
    // never through a link, while it is read: a folder of any number of
    // files never holds more than one of them open.
    int folder = -1;
    CoveredRecord record;  // its name, size and SHA-256 must be what the file holds
};

// One set: which files (indices into the folder's list, in that order), its
// slice size and how many recovery slices.
struct SetPlan
{
    std::vector<std::size_t> files;
    std::uint64_t sliceSize = 0;
    std::uint32_t recoveryCount = 0;
};

// The sets that cover files of these sizes, each with recovery data of at
// least percent % of its files' bytes (percent 1 to 100). Empty files go
// into the first set's own packet only.
std::vector<SetPlan> planSets(const std::vector<std::uint64_t>& sizes, unsigned percent);

struct WriteFailure
{
    std::string reason;   // for the report; empty for a stop
    std::string fileName; // the covered file it concerns, when one does
};

// Writes the whole set, packets and all, to out (an empty new file, not
// opened for appending: data computed in passes goes to its place), reading
// the plan's files (all the folder's files for Quelby's packet, which every
// set of a folder carries whole, so that each set alone says what the folder
// held). Fails when a file's bytes are not its record's, a read or write
// fails, or stop says so.
std::expected<void, WriteFailure> writeSet(int out, const SetPlan& plan,
                                           const std::vector<FileToCover>& files, unsigned percent,
                                           const std::function<bool()>& stop,
                                           std::uint64_t memoryCap = kParityMemoryCap);

} // namespace quelby::parity
