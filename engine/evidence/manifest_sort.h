#pragma once

// A manifest out of walk order, sorted on disk so that memory holds one run of
// entries however long the manifest is. Runs of entries are sorted in memory
// and written to temporary files, which are merged, a few at a time, into one
// file in walk order. Each entry is written as its lines exactly as read, so
// the sorted file reads back as a manifest with the same entries.
//
// The temporary files live in the first of $XDG_STATE_HOME/quelby, $TMPDIR
// and /tmp that can be opened: mode 0600, and nameless, or unlinked as soon
// as they are made, so that a run that is killed leaves nothing behind.

#include "engine/evidence/manifest_entries.h"
#include "engine/platform/sys.h"

#include <cstddef>
#include <expected>
#include <string>

namespace quelby {

// The bytes of entries a run holds in memory before it is sorted and written
// out; tests make it small to see several runs.
extern std::size_t manifestSortRunBytes;

// The folder temporary files go to; the reason in words when there is none.
std::expected<FileDescriptor, std::string> temporaryFolder();

// A new temporary file in folderFd, open for reading and writing.
std::expected<FileDescriptor, PosixError> temporaryFile(int folderFd);

// The manifest read through manifestFd, its entries in walk order (those of
// one path in the order the manifest gives them) and the lines after its last
// entry last, in a temporary file; the reason in words when it failed.
std::expected<FileDescriptor, std::string> sortedManifest(int manifestFd);

// Two readers of the manifest through manifestFd, each on its own, that give
// its entries in walk order: the manifest itself when it is in that order,
// else a sorted copy of it in a temporary file that they keep open between
// them. The reason in words when it cannot be read.
struct WalkOrderReaders
{
    std::unique_ptr<ManifestEntries> lookUps;
    std::unique_ptr<ManifestEntries> copies;
};
std::expected<WalkOrderReaders, std::string> walkOrderReaders(int manifestFd);

} // namespace quelby
