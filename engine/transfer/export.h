#pragma once

// Export: the stored digests of a folder's files as a list that sha256sum -c
// verifies from inside the folder. The files are found by a Check walk that
// reads no contents (RunOptions::readsContents), so the list is in walk order
// and a file is reached exactly as Check reaches it.

#include "engine/store/evidence_store.h"

#include <optional>
#include <string>
#include <string_view>

namespace quelby {

enum class ExportForm
{
    gnu, // <64 hex>  <path>
    bsd  // SHA256 (<path>) = <64 hex>
};

// A file's path below folder (both absolute, raw); none when it is not below it.
std::optional<std::string> pathBelow(std::string_view folder, std::string_view path);

// The line for one file, line feed included. A name holding a backslash, a
// line feed or a carriage return is escaped and the line starts with '\', in
// either form, as sha256sum writes it. None when the digest is not 32 bytes
// or the path is empty or holds a NUL byte.
std::optional<std::string> exportedLine(std::string_view relativePath, std::string_view digest,
                                        ExportForm form);

} // namespace quelby
