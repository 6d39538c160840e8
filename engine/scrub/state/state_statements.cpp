#include "engine/scrub/state/state_statements.h"

#include <string>
#include <vector>

namespace quelby::scrub {

namespace {

constexpr const char* kFileColumnNames =
    "folder, path, size, modified_ns, changed_ns, verified_at, result, problem_since, verdict";

// INSERT OR REPLACE of rows records, numbered parameters in column order.
std::string putFilesSql(std::size_t rows)
{
    std::string sql = std::string("INSERT OR REPLACE INTO files (") + kFileColumnNames + ") VALUES ";
    for (std::size_t row = 0; row < rows; ++row) {
        sql += row == 0 ? "(" : ", (";
        for (std::size_t column = 1; column <= kFileColumns; ++column) {
            sql += (column == 1 ? "?" : ", ?") + std::to_string(row * kFileColumns + column);
        }
        sql += ")";
    }
    return sql;
}

constexpr const char* kFolderColumns = "path, last_run, every_days, files, verified_in_period, "
                                       "problems, bytes_read, notified_at, without_digest";

} // namespace

std::expected<StateStatements, SqliteError> StateStatements::prepare(Database& database)
{
    const std::string folderColumns = kFolderColumns;
    const std::string saveFolder =
        "INSERT INTO folders (" + folderColumns +
        ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT (path) DO UPDATE SET "
        "last_run = excluded.last_run, every_days = excluded.every_days, "
        "files = excluded.files, verified_in_period = excluded.verified_in_period, "
        "problems = excluded.problems, bytes_read = excluded.bytes_read, "
        "notified_at = excluded.notified_at, without_digest = excluded.without_digest";
    const std::string folders = "SELECT " + folderColumns + " FROM folders ORDER BY path";
    const std::string putFile = putFilesSql(1);
    const std::string putFiles = putFilesSql(kFilesPerPut);
    const char* const sql[] = {
        "BEGIN IMMEDIATE",
        "COMMIT",
        "ROLLBACK",
        "INSERT INTO folders (path) VALUES (?1) ON CONFLICT (path) DO NOTHING",
        "SELECT id FROM folders WHERE path = ?1",
        putFile.c_str(),
        putFiles.c_str(),
        "DELETE FROM files WHERE folder = ?1 AND path = ?2",
        // In the key's order, which costs no sort.
        "SELECT path, size, modified_ns, changed_ns, verified_at, result, problem_since, verdict "
        "FROM files WHERE folder = (SELECT id FROM folders WHERE path = ?1) ORDER BY path",
        saveFolder.c_str(),
        folders.c_str(),
        "SELECT path, result, problem_since, verified_at, verdict FROM files "
        "WHERE folder = (SELECT id FROM folders WHERE path = ?1) AND result <> ?2 "
        "ORDER BY path",
        // Files without a digest are left out, as the scrub's own figures leave
        // them: ?2 lists every other result, so that each count is a few ranges
        // of files_by_result instead of a pass over every file.
        "SELECT d.path, "
        "(SELECT count(*) FROM files WHERE folder = d.id AND result IN (?2, ?3, ?4, ?5)), "
        "(SELECT count(*) FROM files WHERE folder = d.id AND result IN (?2, ?3, ?4, ?5) "
        "AND verified_at >= ?1 - d.every_days * 86400), "
        "(SELECT count(*) FROM files WHERE folder = d.id AND result IN (?4, ?5)), "
        "(SELECT count(*) FROM files WHERE folder = d.id AND result = ?6) "
        "FROM folders d WHERE d.last_run IS NOT NULL ORDER BY d.path",
    };
    std::vector<Statement> prepared;
    for (const char* each : sql) {
        auto statement = Statement::prepare(database, each);
        if (!statement) {
            return std::unexpected(statement.error());
        }
        prepared.push_back(std::move(*statement));
    }
    auto next = prepared.begin();
    auto take = [&] { return std::move(*next++); };
    return StateStatements{take(), take(), take(), take(), take(), take(), take(),
                           take(), take(), take(), take(), take(), take()};
}

} // namespace quelby::scrub
