#pragma once

// Reading an import's list: each line parsed, each listed path turned into
// the path the walk names below the folder, and the files put in walk order.
// A line that cannot be read, and a path that leaves the folder, is reported
// at once, in the list's order.

#include "engine/transfer/import_run.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

inline constexpr std::string_view kLeavesFolder = "the path leaves the folder";

struct ListedFile
{
    std::size_t lineNumber = 0;
    std::string listedPath;
    std::string key; // the path below the folder without "." or empty names; empty: the folder
    Bytes digest;
};

// The files listText lists, in walk order; several lines may list one file.
// Every other line that is neither blank nor a comment is reported here.
std::vector<ListedFile> listedFiles(std::string_view listText, const ImportOptions& options,
                                    ImportObserver& observer, ImportState& state);

// The end of the group of lines that list the same file as files[first].
std::size_t groupEnd(const std::vector<ListedFile>& files, std::size_t first);

// The file's raw path: key below folder.
std::string absolutePath(const std::string& folder, const std::string& key);

// Reports outcome as a line or a file that could not be read.
void reportReadFailed(ImportOutcome& outcome, ImportObserver& observer, ImportState& state);
// The same, with reason for the report's line.
void reportRefused(ImportOutcome& outcome, std::string_view reason, ImportObserver& observer,
                   ImportState& state);

} // namespace quelby
