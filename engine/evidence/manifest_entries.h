#pragma once

// A manifest's entries, one file each, grouped from its lines in the order
// the file holds them: a digest line, the stamp line that follows it, and the
// lines before them that belong to no entry (comments, lines that cannot be
// read), kept as they are so that a rewrite keeps them too.

#include "engine/platform/sys.h"
#include "engine/store/evidence_store.h"

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

struct ManifestEntry
{
    std::string key;        // the path relative to the manifest's folder, raw bytes
    std::string leading;    // lines before it that belong to no entry, each with its line feed
    std::string digestText; // its digest line as read, line feed included; empty when none
    std::string stampText;
    std::string damagedText; // the line that marks damaged bytes a repair kept
    std::optional<Bytes> digest; // the 32 raw bytes, or a value that never matches
    std::optional<Bytes> stamp;
    std::optional<Bytes> damagedMark;
    bool stampFirst = false; // its stamp line came before its digest line

    // Its lines exactly as read.
    std::string verbatim() const
    {
        return leading + (stampFirst ? stampText + digestText : digestText + stampText) +
               damagedText;
    }
};

// The entries one at a time; memory holds one entry, not the manifest.
class ManifestEntries
{
public:
    virtual ~ManifestEntries() = default;
    // The entry at hand; none past the last, or after a failed read.
    virtual const ManifestEntry* current() const = 0;
    virtual void advance() = 0;
    // Lines after the last entry that belong to none.
    virtual const std::string& trailing() const = 0;
    // Why the manifest could not be read to its end.
    virtual const std::optional<std::string>& error() const = 0;
};

// Reads through fd from its start with an offset of its own, so that several
// readers can share one descriptor; kept, when given, stays open as long as the reader.
std::unique_ptr<ManifestEntries> streamedEntries(int fd,
                                                 std::shared_ptr<const FileDescriptor> kept = nullptr);

} // namespace quelby
