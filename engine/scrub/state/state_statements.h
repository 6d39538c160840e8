#pragma once

// Every SQL statement the scrub's state runs, prepared once when it opens.

#include "engine/scrub/state/sqlite_handle.h"

#include <cstddef>
#include <expected>

namespace quelby::scrub {

// The columns of a file's record, and how many records one putFiles writes.
inline constexpr std::size_t kFileColumns = 9;
inline constexpr std::size_t kFilesPerPut = 64;

struct StateStatements
{
    Statement begin;
    Statement commit;
    Statement rollback;
    Statement addFolder;
    Statement folderId;
    Statement putFile;
    Statement putFiles; // kFilesPerPut records at once
    Statement dropFile;
    Statement knownFiles;
    Statement saveFolder;
    Statement folders;
    Statement problemCandidates;
    Statement folderCounts;

    static std::expected<StateStatements, SqliteError> prepare(Database& database);
};

} // namespace quelby::scrub
