#pragma once

// The wording of import and export, built whole from fixed pieces and values.
// Paths, folders and list names arrive already escaped (display_text.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelby::report {

// Import
std::string importedLine(std::string_view path);
std::string keptStoredLine(std::string_view path);
std::string couldntReadListLine(std::size_t lineNumber, std::string_view list,
                                std::string_view reason);
std::string importSummary(std::int64_t imported, std::int64_t listed, std::string_view folder);

// Export: the closing line, for standard error.
std::string exportSummary(std::int64_t exported, std::string_view folder, std::int64_t none);

} // namespace quelby::report
