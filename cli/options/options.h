#pragma once

// What the command line of quelby-cli comes to once judged: the options of
// one run, or help, the version, or a usage error.

#include "engine/evidence/evidence_location.h"
#include "engine/operations/parity_refresh.h"
#include "engine/read/buffer_size.h"
#include "engine/run/run.h"
#include "scrub_options.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quelby::cli {

// Everything a run needs from the command line.
struct CliOptions
{
    Operation operation = Operation::check;
    std::string folder;
    bool verbose = false;
    bool timeStamps = false;
    bool quiet = false;
    bool progress = false; // a progress line whatever standard output is (-q still wins)
    bool explain = false;
    bool onlyEdited = false;
    bool newOnly = false; // tag: only files without a digest
    bool json = false;
    bool oneFileSystem = false;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> excludeFiles; // "-": standard input
    std::size_t jobs = 0; // 0: the default for the folder's disk
    std::optional<ReadOrder> order; // none: the default for the folder's disk
    StoreChoice store = StoreChoice::automatic;
    BufferSize buffer = kCommandLineBufferSize;
    // repair: a walk like Check's (operation check) that mends damaged files.
    bool repair = false;
    std::vector<std::string> copies;
    bool dryRun = false; // repair, tag and retag: write nothing
    bool alsoUnknown = false;
    std::optional<std::string> paritySet; // repair --parity SET, bytes as given
    bool restoreMissing = false;
    // tag and retag: what becomes of the parity sets below folder.
    ParityRequest parity;
    // export: a Check walk that reads no contents and lists the stored digests.
    bool exportDigests = false;
    bool bsdTag = false;
    // import (operation tag): the digests of the list sums stored in folder.
    bool importDigests = false;
    std::string sums; // "-": standard input
    // scrub: Check's walk over the due files of each of folders, within an allowance.
    bool scrub = false;
    // status: what the scrubs of folders (every scrubbed folder when none) found.
    bool status = false;
    std::vector<std::string> folders; // bytes as given
    ScrubCommandOptions scrubbing; // scrub and status only
};

struct ShowHelp
{};
struct ShowVersion
{};
struct UsageError
{
    std::string message; // one line, without the program's name
};

using CommandLine = std::variant<CliOptions, ShowHelp, ShowVersion, UsageError>;

} // namespace quelby::cli
