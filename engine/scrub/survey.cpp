#include "survey.h"

#include "engine/sys.h"

#include <fcntl.h>

namespace quelby::scrub {

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

std::string relativeTo(const std::string& folder, const std::string& path)
{
    const std::size_t prefix = folder == "/" ? 1 : folder.size() + 1;
    return path.substr(prefix);
}

std::string joined(const std::string& folder, std::string_view relative)
{
    std::string path = folder;
    if (path != "/") {
        path += '/';
    }
    path += relative;
    return path;
}

bool Survey::visitsFile(const EntryToVisit& entry)
{
    SurveyedFile file;
    file.relativePath = relativeTo(folder_, entry.path);
    file.listedAsLink = entry.listedAsLink;
    file.evidence = entry.evidence;
    if (storeKeyedByPath_) {
        file.hasDigest = entry.evidence.digest.has_value();
    }
    if (const auto found = known_.find(file.relativePath); found != known_.end()) {
        file.known = &found->second;
        const int flags = entry.listedAsLink ? 0 : AT_SYMLINK_NOFOLLOW;
        if (const auto info = sys::fstatAt(entry.folder->get(), entry.name, flags)) {
            file.size = info->st_size;
            file.modifiedNs = nanoseconds(info->st_mtim);
            file.changedNs = nanoseconds(info->st_ctim);
        }
    }
    files.push_back(std::move(file));
    return reads_ != nullptr && reads_->startsRead(files.size() - 1, entry);
}

void Survey::entryDone(const EntryOutcome& outcome)
{
    if (outcome.result == FileResult::missing) {
        reportedMissing.insert(relativeTo(folder_, outcome.path));
    }
    observer_.entryDone(outcome);
    if (reads_ != nullptr) {
        reads_->delivered(outcome);
    }
}

} // namespace quelby::scrub
