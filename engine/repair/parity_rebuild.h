#pragma once

// Rebuilding one file of a folder from the folder's parity set. Every other
// file of the set is read below the folder by its name (never through a
// link); its slices count as present when their MD5s match, or, for a file
// the caller already proved whole, without reading their checksums. The file
// wanted is rebuilt slice by slice and written whole; whoever asked proves it
// by its SHA-256 before it goes anywhere.

#include "engine/evidence/parity_format.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace quelby::parity {

struct RebuildSources
{
    int folder = -1;            // the folder the set's names are read against
    const ParitySet* set = nullptr;
    std::span<const int> parts; // the set's files, as readSet had them
    // True for a file the caller proved whole in this run: its slices need no checking.
    std::function<bool(std::string_view name)> provenWhole;
    std::function<bool()> stop;
    std::uint64_t memoryCap = 256ull << 20;
};

// Writes the whole rebuilt contents of the set's file `name` into out (an
// empty new file), whether the file is there with damaged slices or gone. A
// reason when it cannot: more lost slices than intact recovery slices, a
// name the set does not cover, a read that fails; empty reason for a stop.
std::expected<void, std::string> rebuildFile(const RebuildSources& sources, std::string_view name,
                                             int out);

} // namespace quelby::parity
