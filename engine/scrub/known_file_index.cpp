#include "engine/scrub/known_file_index.h"

#include <algorithm>

namespace quelby::scrub {

KnownFileIndex::KnownFileIndex(std::vector<KnownEntry> entries)
{
    entries_.reserve(entries.size());
    for (KnownEntry& entry : entries) {
        entries_.push_back(Entry{std::move(entry.path), entry.file});
    }
}

KnownFile* KnownFileIndex::find(std::string_view path)
{
    std::size_t at = next_;
    if (at >= entries_.size() || entries_[at].path != path) {
        const auto found = std::ranges::lower_bound(
            entries_, path, {}, [](const Entry& entry) { return std::string_view(entry.path); });
        if (found == entries_.end() || found->path != path) {
            return nullptr;
        }
        at = static_cast<std::size_t>(found - entries_.begin());
    }
    next_ = at + 1;
    entries_[at].met = true;
    return &entries_[at].file;
}

} // namespace quelby::scrub
