#pragma once

// Every SQL statement the scrub's state runs, prepared once when it opens.

#include "engine/scrub/state/sqlite_handle.h"

#include <expected>

namespace quelby::scrub {

struct StateStatements
{
    Statement begin;
    Statement commit;
    Statement rollback;
    Statement addFolder;
    Statement folderId;
    Statement putFile;
    Statement dropFile;
    Statement knownFiles;
    Statement saveFolder;
    Statement folders;
    Statement problemCandidates;
    Statement folderCounts;

    static std::expected<StateStatements, SqliteError> prepare(Database& database);
};

} // namespace quelby::scrub
