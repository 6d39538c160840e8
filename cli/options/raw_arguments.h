#pragma once

// The command line of quelby-cli taken apart into what was typed, before any
// of it is judged. Nothing here touches the disk.

#include <optional>
#include <span>
#include <string>
#include <string_view>
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
    bool newOnly = false;
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
    std::optional<std::string> parity; // --parity PERCENT|off (tag, retag) or SET (repair)
    bool restoreMissing = false;
    bool heal = false;
    bool tagNew = false;
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

} // namespace quelby::cli
