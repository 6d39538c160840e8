#pragma once

// Which store keeps a folder's evidence: its files' extended attributes, or a
// manifest file. A manifest is looked for in the folder and then in each
// folder above it, up to the top of the folder's file system.
//
// Whoever owns a manifest decides what its files are judged against, so one
// is trusted only when it belongs to the user running Quelby, to root, or to
// the owner of the folder that holds it (on a user's own exFAT stick every
// file shows the mount's owner). Any other is passed over, never written,
// renamed over or removed, and the search stops there.

#include "engine/platform/posix_error.h"
#include "engine/platform/sys.h"

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby {

enum class StoreChoice
{
    automatic,  // a manifest found, else attributes where they can be kept, else a new manifest
    attributes, // never read or write a manifest
    manifest    // a manifest found, else a new one in the folder
};

struct EvidenceLocation
{
    bool manifest = false;
    std::string manifestFolder; // the folder that holds the manifest, absolute
    // That folder, opened: the folder itself, or the one above it where the
    // manifest was found.
    std::shared_ptr<const FileDescriptor> manifestFolderFd;
    bool manifestExists = false;
    // The manifest that would keep the evidence, in the folder or above it,
    // belongs to another user and no attributes can stand in: a Check finds
    // no digest, and nothing may be written. Its path, raw; empty otherwise.
    std::string notTrustedManifest;
    // A line for standard error: a manifest that was not taken.
    std::string notice;
};

// Where the evidence of folder (absolute, normalised), open as folderFd, is
// kept. Unexpected only when the folder cannot be looked at.
std::expected<EvidenceLocation, PosixError>
locateEvidence(const std::shared_ptr<const FileDescriptor>& folderFd, const std::string& folder,
               StoreChoice choice);

// Whether a manifest (or a lock file beside it) with this status may be
// trusted in a folder with that status.
bool trustedEvidenceFile(const struct stat& file, const struct stat& folder);

// "Passed over PATH: it belongs to another user"
std::string passedOverNotice(const std::string& path);

// The manifest's full path: folder and name.
std::string manifestPath(const std::string& manifestFolder);

// True for the names the walk passes over whatever the store: the manifest,
// its lock and the temporary files a rewrite of one leaves while it runs.
bool isManifestName(std::string_view name);

} // namespace quelby
