#pragma once

// The tables of the scrub's state and how an older state is brought up to them.

#include "engine/run/verdict.h"
#include "engine/scrub/state/sqlite_handle.h"

#include <cstdint>
#include <expected>
#include <optional>

namespace quelby::scrub {

// A verdict as the files table stores it: NULL for none, 1 damaged, 2 edited,
// 3 unknown. Never change a number; one not listed reads as none.
std::optional<std::int64_t> verdictCode(std::optional<Verdict> verdict);
std::optional<Verdict> verdictOfCode(std::optional<std::int64_t> code);

// Reads the state's schema version; makes the tables of a new state and adds
// to an older one what later versions added. A state a newer Quelby wrote is refused.
std::expected<void, SqliteError> bringSchemaUpToDate(Database& database);

} // namespace quelby::scrub
