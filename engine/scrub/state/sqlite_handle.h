#pragma once

// A thin owner of an SQLite connection and its prepared statements, so that
// the scrub's state reads as queries, not as resets and finalizers. Paths go
// in and out as BLOBs: raw bytes, never text.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace quelby::scrub {

// A failed SQLite call: its primary result code (SQLITE_BUSY, SQLITE_CORRUPT...)
// and SQLite's words for it, with the operating system's when it gave any.
struct SqliteError
{
    int code = 0;
    std::string description;
};

class Database
{
public:
    // Opens (or creates) the file for reading and writing; a file the system
    // lets us only read is an error, not a read-only connection, and so is a
    // path through a symbolic link.
    static std::expected<Database, SqliteError> open(const std::string& path);

    Database(Database&& other) noexcept : connection_(other.connection_)
    {
        other.connection_ = nullptr;
    }
    Database& operator=(Database&&) = delete;
    ~Database();

    sqlite3* get() const { return connection_; }
    // Runs statements without results (pragmas, schema, BEGIN/COMMIT).
    std::expected<void, SqliteError> run(const char* sql);
    // The error the connection reports for result code.
    SqliteError error(int resultCode) const;

private:
    explicit Database(sqlite3* connection) : connection_(connection) {}
    sqlite3* connection_ = nullptr;
};

// A prepared statement kept for the life of its database. Each use binds,
// steps and is reset by the Use that owns it, so a failed step never leaves
// the statement holding a read lock.
class Statement
{
public:
    static std::expected<Statement, SqliteError> prepare(Database& database, const char* sql);

    class Use
    {
    public:
        explicit Use(Statement& statement) : statement_(&statement) {}
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use();

        // Parameters count from 1, as in the SQL.
        Use& bind(int index, std::int64_t value);
        Use& bind(int index, std::optional<std::int64_t> value);
        Use& bindBytes(int index, std::string_view bytes);

        // True while there is a row; false at the end.
        std::expected<bool, SqliteError> step();
        // Steps a statement that returns no rows.
        std::expected<void, SqliteError> run();
        // Steps through every row, calling each() while the row is current.
        template <typename EachRow> std::expected<void, SqliteError> eachRow(EachRow each)
        {
            for (;;) {
                const auto row = step();
                if (!row) {
                    return std::unexpected(row.error());
                }
                if (!*row) {
                    return {};
                }
                each();
            }
        }

        // Columns count from 0.
        std::int64_t integer(int column) const;
        std::optional<std::int64_t> optionalInteger(int column) const;
        std::string bytes(int column) const;

    private:
        Statement* statement_;
    };

private:
    friend class Use;
    Statement(Database& database, sqlite3_stmt* statement)
        : database_(&database), statement_(statement, &finalize)
    {
    }
    static void finalize(sqlite3_stmt* statement);

    Database* database_;
    std::unique_ptr<sqlite3_stmt, void (*)(sqlite3_stmt*)> statement_;
};

} // namespace quelby::scrub
