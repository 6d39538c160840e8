#pragma once

// The text of quelby-cli --help: its usage, commands, options and exit statuses.

#include <string>

namespace quelby::cli {

// The text of --help, ending with a line feed.
std::string helpText();

} // namespace quelby::cli
