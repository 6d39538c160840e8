#pragma once

// The command line of quelby-cli: first taken apart into what was typed,
// then checked into the options of one run. Neither step touches the disk.

#include "engine/evidence/evidence_location.h"
#include "engine/run/run.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quelby::cli {

// What the command line says, before any of it is judged.
struct RawArguments
{
    std::optional<std::string> command;
    std::optional<std::string> folder; // bytes as given, never decoded
    std::optional<std::string> target; // import's FOLDER after its SUMS
    std::vector<std::string> moreFolders; // scrub's and status's further FOLDERs
    std::optional<std::string> buffer;
    bool verbose = false;
    bool times = false;
    bool quiet = false;
    bool progress = false;
    bool explain = false;
    bool onlyEdited = false;
    bool json = false;
    bool oneFileSystem = false;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> excludeFiles; // --exclude-from, bytes as given
    std::optional<std::string> jobs;
    std::optional<std::string> order; // --order
    std::optional<std::string> store; // --store
    std::vector<std::string> copies;       // --from, bytes as given
    bool dryRun = false;
    bool alsoUnknown = false;
    bool bsdTag = false; // --tag
    std::optional<std::string> every;   // --every DAYS
    std::optional<std::string> forTime; // --for DURATION
    std::optional<std::string> budget;  // --budget SIZE
    std::optional<std::string> metrics; // --metrics FILE, bytes as given
    std::optional<std::string> state;   // --state FILE, bytes as given
    bool notify = false;
    bool help = false;
    bool version = false;
    std::string firstProblem; // the first thing that could not be taken apart
};

RawArguments rawArguments(std::span<const std::string> args);

// A typed argument as it may appear in a message: it is the user's bytes, so
// nothing in it may act on the terminal.
std::string quotedArgument(std::string_view text);

struct BufferSize
{
    std::int64_t setBufferSize = 1;        // the number as typed
    std::int64_t realBufferSize = 1048576; // bytes
};

// "64K", "4m": a whole number and the unit K (1024) or M (1048576), 1K to 1024M;
// otherwise the reason in words for the user.
std::expected<BufferSize, std::string> parsedBufferSize(std::string_view text);

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
    bool json = false;
    bool oneFileSystem = false;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> excludeFiles; // "-": standard input
    std::size_t jobs = 0; // 0: the default for the folder's disk
    std::optional<ReadOrder> order; // none: the default for the folder's disk
    StoreChoice store = StoreChoice::automatic;
    BufferSize buffer;
    // repair: a walk like Check's (operation check) that mends damaged files.
    bool repair = false;
    std::vector<std::string> copies;
    bool dryRun = false;
    bool alsoUnknown = false;
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
    std::int64_t everyDays = 30;
    std::optional<std::chrono::seconds> forTime;
    std::optional<std::int64_t> budgetBytes;
    std::optional<std::string> metricsFile;
    std::optional<std::string> stateFile;
    bool notify = false;
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

CommandLine validatedCommandLine(const RawArguments& raw);

// The text of --help, ending with a line feed.
std::string helpText();

} // namespace quelby::cli
