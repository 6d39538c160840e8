#pragma once

// A list the user hands over by name, such as the patterns of --exclude-from:
// a regular file, or "-" for standard input (a regular file, a pipe or a
// terminal). Whatever it is, it cannot hold the run hostage: a device, a FIFO
// or a folder is refused before a byte is read, the text is cut off at a size
// limit, and a stop ends a wait for a pipe or a terminal.

#include <cstddef>
#include <expected>
#include <functional>
#include <string>

namespace quelby {

struct ListReadFailure
{
    bool stopped = false; // a stop was requested while the list was read
    std::string reason;   // otherwise why the list cannot be used, for the user
};

// The whole text of the list, which holds at most sizeLimit bytes and no NUL byte.
// stopRequested is asked while a pipe or a terminal has nothing to read yet.
std::expected<std::string, ListReadFailure>
readListFile(const std::string& path, std::size_t sizeLimit,
             const std::function<bool()>& stopRequested);

// "1 MiB", "1 GiB", "512 KiB" or "100 bytes", as the refusals name a limit.
std::string sizeLimitText(std::size_t bytes);

} // namespace quelby
