#pragma once

// Every file Quelby itself writes on disk, by name. Walks pass over the
// names a folder may hold (isManifestName, isRepairTemporaryName and the
// damaged mark); the rest live in the user's state folder or a temporary one.

#include <string_view>

namespace quelby {

// Beside a folder's files.
inline constexpr std::string_view kManifestFileName = ".quelby.sha256";
// A manifest being written: the name and eight random characters, renamed
// over the manifest once whole; the next writer removes one a killed run left.
inline constexpr std::string_view kManifestNewPrefix = ".quelby.sha256.new-";
// Writers of a manifest lock this file beside it, never the folder, which
// anyone who can read it may lock.
inline constexpr std::string_view kManifestLockName = ".quelby.lock";
// A folder's parity sets: .quelby.par2, then .quelby.2.par2, .quelby.3.par2...
// where one set cannot hold the folder; each written as NAME.new-XXXXXXXX
// and renamed into place, under the manifest's lock.
inline constexpr std::string_view kParitySetFileName = ".quelby.par2";
inline constexpr std::string_view kParitySetPrefix = ".quelby.";
inline constexpr std::string_view kParitySetSuffix = ".par2";
inline constexpr std::string_view kParityNewInfix = ".new-";
// Repair's new file until it trades names with the damaged one: the prefix
// and eight lowercase hex digits.
inline constexpr std::string_view kRepairTemporaryPrefix = ".quelby-repair-";
// The damaged bytes a repair keeps: NAME.damaged, or NAME.damaged.N when taken.
inline constexpr std::string_view kDamagedSuffix = ".damaged";

// In the temporary folder: a run of a manifest being sorted, on file systems
// without nameless files (and then unlinked at once).
inline constexpr std::string_view kSortTemporaryPrefix = ".quelby-sort-";

// In $XDG_STATE_HOME/quelby (or ~/.local/state/quelby): the scrub's state,
// and beside it one lock file per folder being scrubbed,
// scrub-HHHHHHHHHHHHHHHH.lock, named after the folder's device and inode.
inline constexpr std::string_view kStateFolderName = "quelby";
inline constexpr std::string_view kStateFileName = "scrub.sqlite";
inline constexpr std::string_view kFolderLockPrefix = "scrub-";
inline constexpr std::string_view kFolderLockSuffix = ".lock";

} // namespace quelby
