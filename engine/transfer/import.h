#pragma once

// Import: digests listed by sha256sum, rhash, a camera's tool or an earlier
// export, brought into a folder's evidence store. Each listed file is opened
// below the folder one name at a time, digested, and its digest is stored
// only when it equals the listed one and the file has no well-formed digest
// yet: a list made from a damaged copy never replaces good evidence.
//
// The listed files are taken in walk order, whatever the list's order, so
// that a store keyed by path (a manifest) is merged in one pass: lookUp,
// read, write and apply all run on the caller's thread, file after file,
// and finish once at the end. Lines that cannot be read and paths that
// leave the folder are reported first, in the list's order; then the files,
// in walk order.
//
// The contents are read by the driver of visits, one file at a time: in name
// order just before the file is judged, in disk order a window of files
// first, in the order their data lies on the disk. Each file is then judged
// in walk order, reached again, and read again only when it is no longer the
// file that was read.

#include "engine/read/file_digest.h"
#include "engine/run/run.h"
#include "engine/store/evidence_store.h"
#include "engine/transfer/import_run.h"

#include <string_view>

namespace quelby {

// Imports the digests of listText, the whole list, into options.folder.
ImportState importDigests(const ImportOptions& options, std::string_view listText,
                          ImportObserver& observer);

} // namespace quelby
