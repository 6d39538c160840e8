#pragma once

// What every walking command takes from its options before the walk starts:
// the patterns it leaves out, and whether a progress line is drawn.

#include "cli/options/options.h"
#include "engine/tree/exclusions.h"
#include "environment.h"

#include <expected>
#include <ostream>

namespace quelby::cli {

// The --exclude patterns and those of every --exclude-from file; otherwise the
// exit status, after the reason is said on err (a stop: 128 and its signal).
std::expected<Exclusions, int> exclusionsFor(const CliOptions& options, std::ostream& err,
                                             const CliEnvironment& environment);

// The folder as typed, made absolute and normalised; otherwise the exit
// status of a usage error, after the reason is said on err.
std::expected<std::string, int> absoluteFolder(const std::string& typed, std::ostream& err,
                                               const CliEnvironment& environment);

// The run the command line asks for over its FOLDER; otherwise the exit status,
// after the reason is said on err.
std::expected<RunOptions, int> runOptionsFor(const CliOptions& options, std::ostream& err,
                                             const CliEnvironment& environment);

// Opens the run's folder and the store that keeps its evidence, as choice
// says: the run's own (attributes) or a manifest, locked when the run writes.
// Otherwise the exit status, after the reason is said on err: 2 when another
// run writes the manifest or it is another user's, 1 when it cannot be read.
std::expected<void, int> chooseEvidenceFor(RunOptions& options, StoreChoice choice, bool writes,
                                           std::ostream& err);

// The manifests passed over below the folder, then "Digests are kept in …",
// on err, when they are kept in a manifest.
void sayWhereDigestsAreKept(const RunOptions& options, std::ostream& err);

// Drawn on a terminal only, and by default only where standard output is not
// a pipe to another program that may write to the same terminal.
bool drawsProgress(const CliOptions& options, const CliEnvironment& environment);

} // namespace quelby::cli
