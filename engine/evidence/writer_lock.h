#pragma once

// The lock every writer of a folder's evidence files (its manifest, its
// parity sets) takes first: .quelby.lock in the folder, made when there is
// none, never the folder itself, which anyone who can read it may lock. A
// lock file that is a link, not a regular file, or another user's is
// nobody's to take. The lock lasts as long as the descriptor.

#include "engine/platform/sys.h"

#include <expected>
#include <string>
#include <string_view>

namespace quelby {

// shownPath names the file to be written in the reasons; what ("the
// manifest", "the parity") says what another process is writing.
std::expected<FileDescriptor, std::string> lockEvidenceWriters(int folderFd,
                                                               const std::string& folder,
                                                               const std::string& shownPath,
                                                               std::string_view what, bool* busy);

} // namespace quelby
