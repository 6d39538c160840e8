#pragma once

// Where the scrub's state lives on disk and what happens to a state file that
// is no longer a database: the file-system side of the state, apart from SQL.

#include "engine/platform/posix_error.h"

#include <ctime>
#include <expected>
#include <optional>
#include <string>

namespace quelby::scrub {

// The folder that holds statePath: "." when it names none.
std::string stateFolder(const std::string& statePath);

// statePath with its folder's real path: SQLite opens the state refusing any
// link on its way, and a home reached through a link is no planted link.
std::string withRealFolder(const std::string& statePath);

// Makes the state's folder and any missing folder above it, each readable by
// its owner only: the state lists the names of the user's files.
std::expected<void, PosixError> makeStateFolder(const std::string& statePath);

// Opens the state file for writing (creating it, owner only) and closes it
// again, so that a missing permission, a read-only disk, a folder or a link
// in its place is told before SQLite sees the file.
std::expected<void, PosixError> checkStateFileWritable(const std::string& path);

// The state and the lock files beside it are opened without following a
// link: a link there would have a scrub run by root write wherever it points.
// Said so instead of "Too many levels of symbolic links".
PosixError notFollowed(PosixError error);

// Renames the state file to path + ".corrupt-" + the UTC time, with its -wal
// and -shm files, so that a new state starts without them; returns the new name.
std::expected<std::string, PosixError> moveStateAside(const std::string& path, std::time_t now);

// The default state file: $XDG_STATE_HOME/quelby/scrub.sqlite, where an unset
// or relative XDG_STATE_HOME means $HOME/.local/state; none without either.
std::optional<std::string> defaultStatePath();

} // namespace quelby::scrub
