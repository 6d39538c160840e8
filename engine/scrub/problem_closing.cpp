#include "engine/scrub/problem_closing.h"

#include "engine/scrub/survey.h"

#include <algorithm>

namespace quelby::scrub {

std::expected<void, std::string> closeProblem(ScrubState& state, std::string_view folder,
                                              std::string_view path, const struct stat& file,
                                              Seconds now)
{
    KnownFile known;
    known.size = file.st_size;
    known.modifiedNs = nanoseconds(file.st_mtim);
    known.changedNs = nanoseconds(file.st_ctim);
    known.verifiedAt = now;
    known.result = LastResult::matched;
    if (auto recorded = state.record(folder, path, known, now); !recorded) {
        return recorded;
    }
    auto folders = state.folders();
    if (!folders) {
        return std::unexpected(folders.error());
    }
    const auto record = std::ranges::find(*folders, folder, &FolderRecord::folder);
    if (record == folders->end()) {
        return state.commit();
    }
    auto problems = state.openProblems(folder);
    if (!problems) {
        return std::unexpected(problems.error());
    }
    FolderRecord changed = *record;
    changed.problems = static_cast<std::int64_t>(problems->size());
    return state.saveFolder(changed);
}

} // namespace quelby::scrub
