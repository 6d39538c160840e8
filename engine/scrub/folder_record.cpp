#include "engine/scrub/folder_record.h"

namespace quelby::scrub {

FolderRecord folderRecordAfter(const FolderSummary& summary,
                               const std::optional<FolderRecord>& before, Seconds now)
{
    FolderRecord record;
    record.folder = summary.folder;
    record.lastRun = now;
    record.everyDays = summary.everyDays;
    record.files = summary.withDigest;
    record.withoutDigest = summary.noDigest;
    record.verifiedInPeriod = summary.verifiedInPeriod;
    record.problems = summary.openProblems;
    record.bytesRead = summary.bytesRead;
    if (before) {
        record.notifiedAt = before->notifiedAt;
    }
    return record;
}

std::optional<FolderRecord> recordOf(ScrubState& state, const std::string& folder)
{
    auto folders = state.folders();
    if (!folders) {
        return std::nullopt;
    }
    for (auto& record : *folders) {
        if (record.folder == folder) {
            return std::move(record);
        }
    }
    return std::nullopt;
}

} // namespace quelby::scrub
