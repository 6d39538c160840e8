#pragma once

// The report as JSON Lines (--json): one object per file that has a line in
// the verbose text report, one per folder that could not be read, then one
// summary object. Keys never change meaning once released; the summary's
// "version" says which set a reader gets. docs/json-report.md describes them.

#include "engine/operations/parity_refresh.h"
#include "engine/run/run.h"
#include "engine/transfer/import.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quelby::cli {

using Json = nlohmann::ordered_json;

// The line of one finished entry, with its line feed; empty when it has none.
std::string jsonEntryLine(const EntryOutcome& outcome);
// One parity set after a Tag or a Retag.
std::string jsonParityLine(const ParitySetOutcome& set);
// Its object, for a command that adds keys of its own (an entry that has a line).
Json jsonEntryObject(const EntryOutcome& outcome);

// The summary's line, with its line feed.
std::string jsonSummaryLine(const RunOptions& options, const RunState& state, double seconds);
Json jsonSummaryObject(const RunOptions& options, const RunState& state, double seconds);

// One object as a line of its own; bytes that are not UTF-8 become U+FFFD.
std::string line(const Json& object);

// A path as UTF-8; where its bytes are not, the raw bytes go beside it in
// KEY_base64, so that no name is lost.
void addPath(Json& object, std::string_view key, const std::string& path);
std::string base64(std::string_view bytes);

// export --json: the line of one exported digest; path is below the folder.
std::string jsonExportLine(const std::string& path, std::string_view digest);

// import --json: the line of one listed file or unreadable line; empty when it has none.
std::string jsonImportLine(const ImportOutcome& outcome);

// import --json: the summary's line.
std::string jsonImportSummary(const std::string& folder, const EvidenceStore& evidence,
                              const ImportState& state, double seconds);

} // namespace quelby::cli
