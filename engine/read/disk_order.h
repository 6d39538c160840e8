#pragma once

// Reading in disk order: where each file's data starts on its disk, and the
// order of one window of files that sweeps the disk's head once across them.
// Nothing depends on a place but the order; a file that moves between the
// lookup and its read is simply read where it now is.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelby {

// Where one file's data lies, in bytes from the start of its disk.
struct DiskPlace
{
    std::uint64_t start = 0;
    std::uint64_t end = 0; // where the head is once the first extent is read
};

// The place of the file named name in folderFd, from its first extent; none
// when the file system gives none (no FIEMAP, an empty file, an extent whose
// place is unknown, delayed, inline, encoded or not aligned). Three system
// calls: open, ask, close.
std::optional<DiskPlace> diskPlaceOf(int folderFd, const std::string& name);

// The same for a file already open: one system call.
std::optional<DiskPlace> diskPlaceOfOpenFile(int fd);

// One file of a window, as the elevator sorts it.
struct PlacedFile
{
    ino_t inode = 0;
    std::optional<DiskPlace> place;
};

// The order in which to read files: those without a place first, by inode;
// then those at or after head, by place; then the rest from the lowest
// place up. Equal keys keep the window's order. head becomes the end of the
// last file with a place.
std::vector<std::size_t> elevatorOrder(std::span<const PlacedFile> files, std::uint64_t& head);

} // namespace quelby
