#include "repair_json.h"

#include "engine/display_text.h"
#include "json_report.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace quelby::cli {

namespace {

using Json = nlohmann::ordered_json;

std::string_view resultName(RepairResult result)
{
    switch (result) {
    case RepairResult::matched:
        return "matched";
    case RepairResult::noDigest:
        return "no-digest";
    case RepairResult::readFailed:
        return "read-failed";
    case RepairResult::left:
        return "left";
    case RepairResult::repaired:
        return "repaired";
    case RepairResult::wouldRepair:
        return "would-repair";
    case RepairResult::noCopy:
        return "no-copy";
    case RepairResult::repairFailed:
        return "repair-failed";
    case RepairResult::leftover:
        return "leftover";
    case RepairResult::damagedCopy:
        return "damaged-copy";
    case RepairResult::none:
        break;
    }
    return {};
}

std::string base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string line(const Json& object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace

std::string repairJsonLine(const RepairedEntry& repaired)
{
    if (repaired.result == RepairResult::none) {
        return {};
    }
    // The check's own object, so that the shape stays the other commands'.
    Json object = Json::parse(jsonEntryLine(repaired.entry));
    object["result"] = resultName(repaired.result);
    if (repaired.entry.isFolder) {
        return line(object);
    }
    if (!repaired.reason.empty()) {
        object["error"] = repaired.reason;
    }
    object["copy"] = repaired.copy ? Json(*repaired.copy) : Json(nullptr);
    if (repaired.copy && !isValidUtf8(*repaired.copy)) {
        object["copy_base64"] = base64(*repaired.copy);
    }
    return line(object);
}

std::string repairJsonSummary(const RepairOptions& options, const RepairState& state,
                              double seconds)
{
    RunOptions run = options.run;
    run.operation = Operation::check;
    Json object = Json::parse(jsonSummaryLine(run, state.run, seconds));
    object["operation"] = "repair";
    object["dry_run"] = options.dryRun;
    const RepairCounts& counts = state.counts;
    object["to_repair"] = counts.toRepair;
    object["repaired"] = counts.repaired;
    object["kept_damaged"] = counts.keptDamaged;
    object["would_repair"] = counts.wouldRepair;
    object["no_copy"] = counts.noCopy;
    object["repair_failed"] = counts.repairFailed;
    object["left"] = counts.left;
    object["copy_files_hashed"] = counts.copyFilesHashed;
    return line(object);
}

} // namespace quelby::cli
