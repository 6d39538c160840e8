#include "walk_arguments.h"

#include "engine/read/buffer_size.h"

#include <charconv>
#include <limits>

namespace quelby::cli {

namespace {

constexpr std::size_t kMostJobs = 256;

} // namespace

std::expected<BufferSize, std::string> parsedBufferSize(std::string_view text)
{
    const std::string malformed = "invalid buffer size " + quotedArgument(text) +
                                  ": give a whole number and the unit K or M, such as 64K or 4M";
    if (text.size() < 2) {
        return std::unexpected(malformed);
    }
    const char unit = text.back();
    std::int64_t unitBytes = 0;
    if (unit == 'k' || unit == 'K') {
        unitBytes = kBufferUnitK;
    } else if (unit == 'm' || unit == 'M') {
        unitBytes = kBufferUnitM;
    } else {
        return std::unexpected(malformed);
    }
    const std::string_view digits = text.substr(0, text.size() - 1);
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::unexpected(malformed);
        }
    }
    const std::string outOfRange =
        "buffer size " + quotedArgument(text) + " is out of range: it must be from 1K to 1024M";
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() ||
        number > std::numeric_limits<std::int64_t>::max() / unitBytes) {
        return std::unexpected(outOfRange);
    }
    const std::int64_t bytes = number * unitBytes;
    if (bytes < kBufferUnitK || bytes > kLargestBufferSize) {
        return std::unexpected(outOfRange);
    }
    return BufferSize{number, bytes};
}

namespace {

std::expected<ParityRequest, std::string> parsedParityRequest(std::string_view text)
{
    if (text == "off") {
        return ParityRequest{ParityRequest::Mode::off, 0};
    }
    unsigned percent = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || percent < 1 ||
        percent > 100) {
        return std::unexpected("invalid --parity " + quotedArgument(text) +
                               ": give a percentage from 1 to 100, or off");
    }
    return ParityRequest{ParityRequest::Mode::percent, percent};
}

} // namespace

std::optional<std::string> walkOptionMisplaced(const RawArguments& raw, Operation operation)
{
    const std::string command = raw.command.value_or("");
    if (raw.order && (command == "export" || command == "status")) {
        return "--order applies to check, tag, retag, repair, scrub and import, not to " + command;
    }
    if (raw.times && operation == Operation::check) {
        return "--times applies to tag, retag and import, not to " + command;
    }
    if (raw.explain &&
        (operation != Operation::check || command == "repair" || command == "export")) {
        return "--explain applies to check, not to " + command;
    }
    if (raw.onlyEdited && operation != Operation::retag) {
        return "--only-edited applies to retag, not to " + command;
    }
    if (raw.newOnly && command != "tag") {
        return "--new-only applies to tag, not to " + command;
    }
    // The sets of a run that reads only new files would cover nothing else.
    if (raw.newOnly && raw.parity) {
        return "--parity applies to tag without --new-only";
    }
    if (raw.dryRun && raw.json && (command == "tag" || command == "retag")) {
        return "--dry-run with --json applies to repair, not to " + command;
    }
    if (raw.parity && operation == Operation::check && command != "repair") {
        return "--parity applies to tag, retag and repair, not to " + command;
    }
    if (raw.parity && command == "import") {
        return "--parity applies to tag, retag and repair, not to import";
    }
    return std::nullopt;
}

std::optional<std::string> takeWalkOptions(const RawArguments& raw, CliOptions& options)
{
    options.verbose = raw.verbose;
    options.timeStamps = raw.times;
    options.quiet = raw.quiet;
    options.progress = raw.progress;
    options.explain = raw.explain;
    options.onlyEdited = raw.onlyEdited;
    options.newOnly = raw.newOnly;
    options.json = raw.json;
    options.oneFileSystem = raw.oneFileSystem;
    options.excludePatterns = raw.excludePatterns;
    options.excludeFiles = raw.excludeFiles;
    if (raw.jobs) {
        std::size_t jobs = 0;
        const auto [end, error] =
            std::from_chars(raw.jobs->data(), raw.jobs->data() + raw.jobs->size(), jobs);
        if (error != std::errc{} || end != raw.jobs->data() + raw.jobs->size() || jobs < 1 ||
            jobs > kMostJobs) {
            return "invalid number of jobs " + quotedArgument(*raw.jobs) + ": give 1 to " +
                   std::to_string(kMostJobs);
        }
        options.jobs = jobs;
    }
    if (raw.order && *raw.order != "auto") {
        if (*raw.order == "name") {
            options.order = ReadOrder::name;
        } else if (*raw.order == "disk") {
            options.order = ReadOrder::disk;
        } else {
            return "invalid --order " + quotedArgument(*raw.order) + ": use name, disk or auto";
        }
    }
    if (raw.store) {
        if (*raw.store == "auto") {
            options.store = StoreChoice::automatic;
        } else if (*raw.store == "attributes") {
            options.store = StoreChoice::attributes;
        } else if (*raw.store == "manifest") {
            options.store = StoreChoice::manifest;
        } else {
            return "invalid --store " + quotedArgument(*raw.store) +
                   ": use auto, attributes or manifest";
        }
    }
    if (raw.parity && options.operation != Operation::check && !options.importDigests) {
        auto parity = parsedParityRequest(*raw.parity);
        if (!parity) {
            return parity.error();
        }
        options.parity = *parity;
    }
    if (raw.buffer) {
        auto buffer = parsedBufferSize(*raw.buffer);
        if (!buffer) {
            return buffer.error();
        }
        options.buffer = *buffer;
    }
    return std::nullopt;
}

} // namespace quelby::cli
