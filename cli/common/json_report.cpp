#include "json_report.h"

#include "engine/evidence/manifest_format.h"
#include "engine/text/display_text.h"

#include <array>
#include <ctime>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace quelby::cli {

namespace {

std::string operationName(Operation operation)
{
    switch (operation) {
    case Operation::check:
        return "check";
    case Operation::tag:
        return "tag";
    case Operation::retag:
        return "retag";
    }
    return {};
}


} // namespace

std::string base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

namespace {

// "2024-03-09T18:05:42.123456789Z"
std::string isoTime(const timespec& time)
{
    std::tm utc{};
    ::gmtime_r(&time.tv_sec, &utc);
    std::array<char, 64> text{};
    const auto length = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ",
                                      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                                      utc.tm_hour, utc.tm_min, utc.tm_sec, time.tv_nsec);
    return std::string(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

} // namespace

void addPath(Json& object, std::string_view key, const std::string& path)
{
    object[std::string(key)] = path; // invalid bytes become U+FFFD when written
    if (!isValidUtf8(path)) {
        object[std::string(key) + "_base64"] = base64(path);
    }
}

namespace {

template <typename Value> Json orNull(const std::optional<Value>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

} // namespace

std::string line(const Json& object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string jsonEntryLine(const EntryOutcome& outcome)
{
    return outcome.result == FileResult::none ? std::string() : line(jsonEntryObject(outcome));
}

Json jsonEntryObject(const EntryOutcome& outcome)
{
    Json object;
    object["type"] = outcome.isFolder ? "folder" : "file";
    addPath(object, "path", outcome.path);
    object["result"] = fileResultName(outcome.result);
    if (outcome.isFolder) {
        object["error"] = outcome.error;
        return object;
    }
    object["stored"] = outcome.stored ? Json(lowerHex(*outcome.stored)) : Json(nullptr);
    object["computed"] =
        outcome.computed ? Json(lowerHex(outcome.computed->view())) : Json(nullptr);
    object["stamp"] = orNull(outcome.stamp);
    object["mtime"] = outcome.modified ? Json(isoTime(*outcome.modified)) : Json(nullptr);
    object["verdict"] =
        outcome.verdict ? Json(std::string(verdictName(*outcome.verdict))) : Json(nullptr);
    object["error"] = outcome.error.empty() ? Json(nullptr) : Json(outcome.error);
    return object;
}

std::string jsonParityLine(const ParitySetOutcome& set)
{
    Json object;
    addPath(object, "parity", set.path);
    object["result"] = paritySetResultName(set.result);
    if (!set.damagedPath.empty()) {
        addPath(object, "damaged", set.damagedPath);
    }
    object["error"] = set.reason.empty() ? Json(nullptr) : Json(set.reason);
    return line(object);
}

std::string jsonSummaryLine(const RunOptions& options, const RunState& state, double seconds)
{
    return line(jsonSummaryObject(options, state, seconds));
}

Json jsonSummaryObject(const RunOptions& options, const RunState& state, double seconds)
{
    Json object;
    object["type"] = "summary";
    object["version"] = 1;
    object["operation"] = operationName(options.operation);
    addPath(object, "folder", options.folder);
    object["total"] = state.totalCount - state.alreadyTaggedCount; // as the text counts it
    object["matched"] = state.matchedCount;
    object["differs"] = state.mismatchedCount;
    object["no_digest"] = state.noDigestCount;
    object["errors"] = state.errorCount;
    object["retagged"] = state.retaggedCount;
    object["first_tag"] = state.firstTagCount;
    object["kept"] = state.keptCount;
    object["already_tagged"] = state.alreadyTaggedCount;
    object["replaced"] = state.replacedCount;
    object["read_failed"] = state.readFailedCount;
    object["excluded"] = state.excludedCount;
    object["other_devices"] = state.otherDeviceCount;
    object["missing"] = state.missingCount;
    const std::string* manifest = options.evidence->manifest();
    object["store"] = manifest != nullptr ? "manifest" : "attributes";
    if (manifest != nullptr) {
        addPath(object, "manifest", *manifest);
    } else {
        object["manifest"] = nullptr;
    }
    object["buffer_bytes"] = options.realBufferSize;
    object["stopped"] = state.stopped;
    object["seconds"] = seconds;
    return object;
}

namespace {

std::string_view importResultName(ImportResult result)
{
    switch (result) {
    case ImportResult::imported:
        return "imported";
    case ImportResult::kept:
        return "kept";
    case ImportResult::differs:
        return "differs";
    case ImportResult::missing:
        return "missing";
    case ImportResult::readFailed:
        return "read-failed";
    case ImportResult::tagFailed:
        return "tag-failed";
    case ImportResult::none:
        break;
    }
    return {};
}

void addStore(Json& object, const EvidenceStore& evidence)
{
    const std::string* manifest = evidence.manifest();
    object["store"] = manifest != nullptr ? "manifest" : "attributes";
    if (manifest != nullptr) {
        addPath(object, "manifest", *manifest);
    } else {
        object["manifest"] = nullptr;
    }
}

} // namespace

std::string jsonExportLine(const std::string& path, std::string_view digest)
{
    Json object;
    object["type"] = "file";
    addPath(object, "path", path);
    object["digest"] = lowerHex(digest);
    return line(object);
}

std::string jsonImportLine(const ImportOutcome& outcome)
{
    if (outcome.result == ImportResult::none) {
        return {};
    }
    Json object;
    object["type"] = outcome.path ? "file" : "line";
    object["line"] = outcome.lineNumber;
    if (outcome.path) {
        addPath(object, "path", *outcome.path);
    } else {
        object["path"] = nullptr;
    }
    object["result"] = importResultName(outcome.result);
    object["listed"] = outcome.listed ? Json(lowerHex(*outcome.listed)) : Json(nullptr);
    object["stored"] = outcome.stored ? Json(lowerHex(*outcome.stored)) : Json(nullptr);
    object["computed"] =
        outcome.computed ? Json(lowerHex(outcome.computed->view())) : Json(nullptr);
    object["error"] = outcome.error.empty() ? Json(nullptr) : Json(outcome.error);
    return line(object);
}

std::string jsonImportSummary(const std::string& folder, const EvidenceStore& evidence,
                              const ImportState& state, double seconds)
{
    Json object;
    object["type"] = "summary";
    object["version"] = 1;
    object["operation"] = "import";
    addPath(object, "folder", folder);
    object["listed"] = state.listedCount;
    object["imported"] = state.importedCount;
    object["kept"] = state.keptCount;
    object["differs"] = state.differsCount;
    object["missing"] = state.missingCount;
    object["read_failed"] = state.readFailedCount;
    object["tag_failed"] = state.tagFailedCount;
    addStore(object, evidence);
    object["stopped"] = state.stopped;
    object["seconds"] = seconds;
    return line(object);
}

} // namespace quelby::cli
