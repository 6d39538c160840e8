#include "engine/scrub/state/state_schema.h"

#include <cstdint>
#include <sqlite3.h>

namespace quelby::scrub {

namespace {

// Schema 1:
//   folders(id, path BLOB UNIQUE, the FolderRecord figures); a folder that
//     has files but no finished run has a NULL last_run. Version 3 added
//     without_digest.
//   files(folder, path BLOB, size, modified_ns, changed_ns, verified_at,
//     result, problem_since, verdict), keyed by (folder, path) WITHOUT ROWID:
//     the key is the row, so a file costs its path and a few varints. Version
//     4 added verdict (NULL for none, else the numbers of state_schema.h).

// 2 added files_by_result, 3 folders.without_digest, 4 files.verdict; the
// columns a state lacks are added first, then the script below brings it up
// to the rest.
constexpr std::int64_t kSchemaVersion = 4;

constexpr const char* kCreateSchema = R"(
CREATE TABLE IF NOT EXISTS folders (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,
    last_run INTEGER,
    every_days INTEGER NOT NULL DEFAULT 30,
    files INTEGER NOT NULL DEFAULT 0,
    verified_in_period INTEGER NOT NULL DEFAULT 0,
    problems INTEGER NOT NULL DEFAULT 0,
    bytes_read INTEGER NOT NULL DEFAULT 0,
    notified_at INTEGER,
    without_digest INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS files (
    folder INTEGER NOT NULL,
    path BLOB NOT NULL,
    size INTEGER NOT NULL,
    modified_ns INTEGER NOT NULL,
    changed_ns INTEGER NOT NULL,
    verified_at INTEGER,
    result INTEGER NOT NULL,
    problem_since INTEGER,
    verdict INTEGER,
    PRIMARY KEY (folder, path)
) WITHOUT ROWID;
-- The Folders view's counts, read from the index alone: a range per result.
CREATE INDEX IF NOT EXISTS files_by_result ON files (folder, result, verified_at);
PRAGMA user_version = 4;
)";

// Each column a version added, with the version that added it.
struct AddedColumn
{
    std::int64_t version;
    const char* sql;
};
constexpr AddedColumn kAddedColumns[] = {
    {3, "ALTER TABLE folders ADD COLUMN without_digest INTEGER NOT NULL DEFAULT 0"},
    {4, "ALTER TABLE files ADD COLUMN verdict INTEGER"},
};

std::expected<void, SqliteError> createSchema(Database& database, std::int64_t found)
{
    if (auto begun = database.run("BEGIN IMMEDIATE"); !begun) {
        return begun;
    }
    std::expected<void, SqliteError> made;
    for (const AddedColumn& column : kAddedColumns) {
        if (made && found > 0 && found < column.version) {
            made = database.run(column.sql);
        }
    }
    if (made) {
        made = database.run(kCreateSchema);
    }
    if (!made) {
        (void)database.run("ROLLBACK");
        return made;
    }
    return database.run("COMMIT");
}

} // namespace

std::optional<std::int64_t> verdictCode(std::optional<Verdict> verdict)
{
    if (!verdict) {
        return std::nullopt;
    }
    switch (*verdict) {
    case Verdict::damaged:
        return 1;
    case Verdict::edited:
        return 2;
    case Verdict::unknown:
        return 3;
    }
    return std::nullopt;
}

std::optional<Verdict> verdictOfCode(std::optional<std::int64_t> code)
{
    switch (code.value_or(0)) {
    case 1:
        return Verdict::damaged;
    case 2:
        return Verdict::edited;
    case 3:
        return Verdict::unknown;
    default:
        return std::nullopt;
    }
}

std::expected<void, SqliteError> bringSchemaUpToDate(Database& database)
{
    auto version = Statement::prepare(database, "PRAGMA user_version");
    if (!version) {
        return std::unexpected(version.error());
    }
    std::int64_t found = 0;
    {
        Statement::Use use(*version);
        if (auto row = use.step(); !row) {
            return std::unexpected(row.error());
        }
        found = use.integer(0);
    }
    if (found > kSchemaVersion) {
        return std::unexpected(SqliteError{SQLITE_ERROR, "it was written by a newer version of Quelby"});
    }
    if (found < kSchemaVersion) {
        return createSchema(database, found);
    }
    return {};
}

} // namespace quelby::scrub
