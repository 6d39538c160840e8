#pragma once

// The command-line options of a walk (check, tag and retag, and those that
// walk like them), judged.

#include "engine/run/run.h"
#include "options.h"
#include "raw_arguments.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quelby::cli {

// "64K", "4m": a whole number and the unit K (1024) or M (1048576), 1K to 1024M;
// otherwise the reason in words for the user.
std::expected<BufferSize, std::string> parsedBufferSize(std::string_view text);

// The reason when an option that shapes how files are read or judged is given
// to a command it does not apply to; operation is the walk the command makes.
std::optional<std::string> walkOptionMisplaced(const RawArguments& raw, Operation operation);

// Fills in options' walk settings from raw; the reason when one is invalid.
std::optional<std::string> takeWalkOptions(const RawArguments& raw, CliOptions& options);

} // namespace quelby::cli
