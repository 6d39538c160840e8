#include "engine/scrub/state/sqlite_handle.h"

#include <cstring>
#include <sqlite3.h>

namespace quelby::scrub {

namespace {

SqliteError connectionError(sqlite3* connection, int resultCode)
{
    SqliteError error{resultCode & 0xff, {}};
    if (connection == nullptr) {
        error.description = sqlite3_errstr(resultCode);
        return error;
    }
    error.description = sqlite3_errmsg(connection);
    // "disk I/O error" alone does not tell a full disk from a failing one.
    if (const int systemError = sqlite3_system_errno(connection); systemError != 0) {
        error.description += " (" + std::string(std::strerror(systemError)) + ")";
    }
    return error;
}

} // namespace

std::expected<Database, SqliteError> Database::open(const std::string& path)
{
    sqlite3* connection = nullptr;
    // NOFOLLOW: a link in the file's place (or on its way) could point a
    // scrub run by root at any file. NOMUTEX: a connection is used by one
    // thread at a time (a batch written on a thread of its own is waited for
    // before the connection is used again), so no call need take its lock.
    const int opened = sqlite3_open_v2(path.c_str(), &connection,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                           SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                                       nullptr);
    Database database(connection);
    if (opened != SQLITE_OK) {
        return std::unexpected(connectionError(connection, opened));
    }
    sqlite3_extended_result_codes(connection, 1);
    if (sqlite3_db_readonly(connection, "main") == 1) {
        return std::unexpected(SqliteError{SQLITE_READONLY, sqlite3_errstr(SQLITE_READONLY)});
    }
    return database;
}

Database::~Database()
{
    // close_v2 waits for any statement still alive instead of failing.
    sqlite3_close_v2(connection_);
}

std::expected<void, SqliteError> Database::run(const char* sql)
{
    if (const int ran = sqlite3_exec(connection_, sql, nullptr, nullptr, nullptr);
        ran != SQLITE_OK) {
        return std::unexpected(error(ran));
    }
    return {};
}

SqliteError Database::error(int resultCode) const
{
    return connectionError(connection_, resultCode);
}

std::expected<Statement, SqliteError> Statement::prepare(Database& database, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    if (const int prepared = sqlite3_prepare_v3(database.get(), sql, -1, SQLITE_PREPARE_PERSISTENT,
                                                &statement, nullptr);
        prepared != SQLITE_OK) {
        return std::unexpected(database.error(prepared));
    }
    return Statement(database, statement);
}

void Statement::finalize(sqlite3_stmt* statement)
{
    sqlite3_finalize(statement);
}

Statement::Use::~Use()
{
    sqlite3_reset(statement_->statement_.get());
    sqlite3_clear_bindings(statement_->statement_.get());
}

Statement::Use& Statement::Use::bind(int index, std::int64_t value)
{
    sqlite3_bind_int64(statement_->statement_.get(), index, value);
    return *this;
}

Statement::Use& Statement::Use::bind(int index, std::optional<std::int64_t> value)
{
    if (value) {
        return bind(index, *value);
    }
    sqlite3_bind_null(statement_->statement_.get(), index);
    return *this;
}

Statement::Use& Statement::Use::bindBytes(int index, std::string_view bytes)
{
    // A null pointer would bind NULL; an empty path is still a (zero-length) BLOB.
    static const char kNothing = 0;
    sqlite3_bind_blob64(statement_->statement_.get(), index,
                        bytes.empty() ? &kNothing : bytes.data(), bytes.size(), SQLITE_STATIC);
    return *this;
}

std::expected<bool, SqliteError> Statement::Use::step()
{
    const int stepped = sqlite3_step(statement_->statement_.get());
    if (stepped == SQLITE_ROW) {
        return true;
    }
    if (stepped == SQLITE_DONE) {
        return false;
    }
    return std::unexpected(statement_->database_->error(stepped));
}

std::expected<void, SqliteError> Statement::Use::run()
{
    for (;;) {
        const auto stepped = step();
        if (!stepped) {
            return std::unexpected(stepped.error());
        }
        if (!*stepped) {
            return {};
        }
    }
}

std::int64_t Statement::Use::integer(int column) const
{
    return sqlite3_column_int64(statement_->statement_.get(), column);
}

std::optional<std::int64_t> Statement::Use::optionalInteger(int column) const
{
    if (sqlite3_column_type(statement_->statement_.get(), column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return integer(column);
}

std::string Statement::Use::bytes(int column) const
{
    const auto* data =
        static_cast<const char*>(sqlite3_column_blob(statement_->statement_.get(), column));
    const int size = sqlite3_column_bytes(statement_->statement_.get(), column);
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

} // namespace quelby::scrub
