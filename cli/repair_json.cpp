#include "repair_json.h"

#include "cli/common/json_report.h"
#include "engine/text/display_text.h"

#include <nlohmann/json.hpp>

namespace quelby::cli {

namespace {

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

} // namespace

std::string repairJsonLine(const RepairedEntry& repaired)
{
    if (repaired.result == RepairResult::none) {
        return {};
    }
    // The check's own object, so that the shape stays the other commands'.
    Json object = jsonEntryObject(repaired.entry);
    object["result"] = resultName(repaired.result);
    if (repaired.entry.isFolder) {
        return line(object);
    }
    if (!repaired.reason.empty()) {
        object["error"] = repaired.reason;
    }
    if (repaired.copy) {
        addPath(object, "copy", *repaired.copy);
    } else {
        object["copy"] = nullptr;
    }
    object["from_parity"] = repaired.fromParity;
    return line(object);
}

std::string restoredJsonLine(const RestoredFile& restored)
{
    Json object;
    object["type"] = "file";
    addPath(object, "path", restored.path);
    object["result"] = restored.restored ? "restored" : "restore-failed";
    object["error"] = restored.reason.empty() ? Json(nullptr) : Json(restored.reason);
    if (restored.copy) {
        addPath(object, "copy", *restored.copy);
    } else {
        object["copy"] = nullptr;
    }
    object["from_parity"] = restored.restored && !restored.copy;
    return line(object);
}

std::string repairJsonSummary(const RepairOptions& options, const RepairState& state,
                              double seconds)
{
    RunOptions run = options.run;
    run.operation = Operation::check;
    Json object = jsonSummaryObject(run, state.run, seconds);
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
    object["restored"] = counts.restored;
    object["restore_failed"] = counts.restoreFailed;
    object["copy_files_hashed"] = counts.copyFilesHashed;
    return line(object);
}

} // namespace quelby::cli
