#pragma once

// The tables of the scrub's state and how an older state is brought up to them.

#include "engine/scrub/state/sqlite_handle.h"

#include <expected>

namespace quelby::scrub {

// Reads the state's schema version; makes the tables of a new state and adds
// to an older one what later versions added. A state a newer Quelby wrote is refused.
std::expected<void, SqliteError> bringSchemaUpToDate(Database& database);

} // namespace quelby::scrub
