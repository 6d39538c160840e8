#include "engine/scrub/scrub_session.h"

#include "engine/scrub/folder_record.h"
#include "engine/text/display_text.h"
#include "engine/text/scrub_text.h"

#include <optional>

namespace quelby::scrub {

std::expected<ScrubSession, std::string>
ScrubSession::begin(const std::string& statePath, const std::vector<std::string>& folders,
                    const StateNotices& notices)
{
    std::vector<FolderLock> locks;
    for (const std::string& folder : folders) {
        auto lock = FolderLock::take(statePath, folder);
        if (!lock) {
            return std::unexpected(lock.error().failure == FolderLock::Failure::held
                                       ? report::beingScrubbedText(escapedForReport(folder))
                                       : lock.error().description);
        }
        locks.push_back(std::move(*lock));
    }
    auto state = ScrubState::open(statePath, notices.movedAside, notices.dropped);
    if (!state) {
        return std::unexpected(state.error());
    }
    return ScrubSession(std::move(locks), std::move(*state));
}

std::expected<ScrubSession::FolderScrub, std::string>
ScrubSession::scrub(const ScrubOptions& options, Allowance& allowance, ScrubObserver& observer,
                    DigestPool* pool)
{
    const std::optional<FolderRecord> before = recordOf(*state_, options.run.folder);
    auto result = scrubFolder(options, *state_, allowance, observer, pool);
    if (!result) {
        return std::unexpected(result.error());
    }
    FolderRecord record = folderRecordAfter(result->summary, before, options.now);
    return FolderScrub{std::move(*result), std::move(record)};
}

std::expected<void, std::string> ScrubSession::save(const FolderRecord& record)
{
    return state_->saveFolder(record);
}

} // namespace quelby::scrub
