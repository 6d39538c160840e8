#pragma once

// Which store keeps a folder's evidence: its files' extended attributes, or a
// manifest file. A manifest is looked for in the folder and then in each
// folder above it, up to the top of the folder's file system; one above is
// taken only when it belongs to the user running Quelby or to root, since
// whoever owns it decides what the files are judged against.

#include "posix_error.h"

#include <expected>
#include <string>
#include <string_view>

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
    bool manifestExists = false;
    // A line for standard error: a manifest above the folder that was not taken.
    std::string notice;
};

// Where the evidence of folder (absolute, normalised) is kept. Unexpected
// only when folder cannot be opened.
std::expected<EvidenceLocation, PosixError> locateEvidence(const std::string& folder,
                                                           StoreChoice choice);

// The manifest's full path: folder and name.
std::string manifestPath(const std::string& manifestFolder);

// True for the names the walk passes over whatever the store: the manifest
// and the temporary files a rewrite of one leaves while it runs.
bool isManifestName(std::string_view name);

} // namespace quelby
