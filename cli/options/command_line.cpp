#include "command_line.h"

#include "repair_arguments.h"
#include "scrub_arguments.h"
#include "transfer_arguments.h"
#include "walk_arguments.h"

#include <optional>
#include <string_view>

namespace quelby::cli {

namespace {

std::optional<Operation> operationNamed(std::string_view name)
{
    if (name == "check") {
        return Operation::check;
    }
    if (name == "tag") {
        return Operation::tag;
    }
    if (name == "retag") {
        return Operation::retag;
    }
    if (name == "repair") {
        return Operation::check; // a Check's walk, with the repair on top
    }
    if (name == "export") {
        return Operation::check; // a Check's walk that reads no contents
    }
    if (name == "import") {
        return Operation::tag; // it stores digests
    }
    if (name == "scrub" || name == "status") {
        return Operation::check; // reads only
    }
    return std::nullopt;
}

} // namespace

// The checks run in a fixed order, so that a command line with several
// mistakes is always told the same one first.
CommandLine validatedCommandLine(const RawArguments& raw)
{
    if (raw.help) {
        return ShowHelp{};
    }
    if (raw.version) {
        return ShowVersion{};
    }
    if (!raw.firstProblem.empty()) {
        return UsageError{raw.firstProblem};
    }
    if (!raw.command) {
        return UsageError{
            "missing command: check, tag, retag, repair, export, import, scrub or status"};
    }
    const std::optional<Operation> operation = operationNamed(*raw.command);
    if (!operation) {
        return UsageError{"unknown command " + quotedArgument(*raw.command) +
                          ": use check, tag, retag, repair, export, import, scrub or status"};
    }
    const bool scrub = *raw.command == "scrub";
    const bool status = *raw.command == "status";
    if (auto misplaced = scrubOptionMisplaced(raw, scrub, status)) {
        return UsageError{*misplaced};
    }
    if (!raw.folder && !status) {
        return UsageError{"missing FOLDER after " + quotedArgument(*raw.command)};
    }
    const bool repair = *raw.command == "repair";
    const bool exportDigests = *raw.command == "export";
    const bool importDigests = *raw.command == "import";
    if (importDigests && !raw.target) {
        return UsageError{"missing FOLDER after import's SUMS"};
    }
    for (const auto& misplaced :
         {transferOptionMisplaced(raw), walkOptionMisplaced(raw, *operation),
          repairOptionMisplaced(raw)}) {
        if (misplaced) {
            return UsageError{*misplaced};
        }
    }
    CliOptions options;
    if (scrub || status) {
        auto scrubbing = parsedScrubOptions(raw);
        if (!scrubbing) {
            return UsageError{scrubbing.error()};
        }
        options.scrubbing = std::move(*scrubbing);
        options.scrub = scrub;
        options.status = status;
        if (raw.folder) {
            options.folders.push_back(*raw.folder);
        }
        options.folders.insert(options.folders.end(), raw.moreFolders.begin(),
                               raw.moreFolders.end());
    }
    options.operation = *operation;
    options.repair = repair;
    options.copies = raw.copies;
    options.dryRun = raw.dryRun;
    options.alsoUnknown = raw.alsoUnknown;
    options.restoreMissing = raw.restoreMissing;
    if (repair) {
        options.paritySet = raw.parity;
    }
    options.exportDigests = exportDigests;
    options.bsdTag = raw.bsdTag;
    options.importDigests = importDigests;
    if (importDigests) {
        options.sums = *raw.folder;
        options.folder = *raw.target;
    } else if (raw.folder) {
        options.folder = *raw.folder;
    }
    if (auto invalid = takeWalkOptions(raw, options)) {
        return UsageError{*invalid};
    }
    return options;
}

} // namespace quelby::cli
