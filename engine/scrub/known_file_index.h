#pragma once

// A folder's files as the state knows them, looked up as the survey meets
// them. The state gives them in byte order of their paths, and a walk meets
// the files of a folder in much the same order, so most look-ups are the
// next entry along: no hashing, and the entries read one after the other.

#include "engine/scrub/state/scrub_state.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace quelby::scrub {

class KnownFileIndex
{
public:
    struct Entry
    {
        std::string path; // relative to the folder, raw bytes
        KnownFile file;
        bool met = false;       // found by the survey
        bool forgotten = false; // gone, and forgotten by the state
    };

    KnownFileIndex() = default;
    // entries in byte order of their paths, each path once.
    explicit KnownFileIndex(std::vector<KnownEntry> entries);

    // The file at path, marked as met; none when the state does not know it.
    KnownFile* find(std::string_view path);

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    std::vector<Entry>& entries() { return entries_; }

private:
    std::vector<Entry> entries_;
    std::size_t next_ = 0; // where the next look-up most likely ends
};

} // namespace quelby::scrub
