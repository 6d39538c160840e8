#pragma once

// The scrub's figures in the Prometheus text format, for node_exporter's
// textfile collector: one sample per folder the state knows, labelled
// folder="…", so that two timers writing one file never erase each other.

#include "engine/scrub/state/scrub_state.h"

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace quelby::cli {

// # HELP and # TYPE (gauge) lines, then the samples of
// quelby_scrub_last_run_timestamp_seconds, quelby_scrub_files,
// quelby_scrub_files_verified_in_period, quelby_scrub_problems and
// quelby_scrub_bytes_read, for each folder that has had a run. The folder
// label is the folder as the report writes it (escapedForReport: valid UTF-8,
// one text per folder), then escaped as the format requires (\\, \", \n), so
// a parser gives back exactly the report's text.
std::string metricsText(const std::vector<scrub::FolderRecord>& folders);

// Writes text to path atomically: to a temporary name beside it that does not
// end in ".prom", then renamed over it. The error names the path and the reason.
std::expected<void, std::string> writeMetricsFile(const std::string& path, std::string_view text);

} // namespace quelby::cli
