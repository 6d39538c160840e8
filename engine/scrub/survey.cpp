#include "engine/scrub/survey.h"

#include "engine/platform/sys.h"
#include "engine/scrub/healer.h"
#include "engine/tree/paths.h"

#include <fcntl.h>
#include <memory>
#include <optional>

namespace quelby::scrub {

namespace {

// The state file at statePath, its journal files, a copy moved aside, and the
// lock files beside it: what scrubs themselves write.
bool isStateFile(std::string_view path, std::string_view statePath)
{
    if (statePath.empty()) {
        return false;
    }
    if (path.starts_with(statePath)) {
        const std::string_view rest = path.substr(statePath.size());
        return rest.empty() || rest == "-wal" || rest == "-shm" || rest == "-journal" ||
               rest.starts_with(".corrupt-");
    }
    const std::size_t slash = statePath.rfind('/');
    const std::string_view stateFolder = statePath.substr(0, slash + 1);
    if (!path.starts_with(stateFolder)) {
        return false;
    }
    const std::string_view name = path.substr(stateFolder.size());
    return name.find('/') == std::string_view::npos && name.starts_with("scrub-") &&
           name.ends_with(".lock");
}

} // namespace

bool Survey::visitsFile(const EntryToVisit& entry)
{
    if (isStateFile(entry.path, options_.statePath)) {
        return false;
    }
    SurveyedFile file;
    file.relativePath = relativePath(options_.run.folder, entry.path);
    file.listedAsLink = entry.listedAsLink;
    // Only a store keyed by path, or a folder's own manifest below the run's
    // folder, leaves anything in the slot: attributes are read through the
    // file itself, so most files need no copy of it.
    if (storeKeyedByPath_ || entry.evidence.owner) {
        file.evidence = std::make_shared<const EvidenceSlot>(entry.evidence);
    }
    if (storeKeyedByPath_) {
        file.hasDigest = entry.evidence.digest.has_value();
    }
    if (KnownFile* const found = known_.find(file.relativePath)) {
        file.known = found;
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

void Survey::entryDone(const EntryOutcome& given)
{
    std::optional<EntryOutcome> healed;
    if (healer != nullptr && given.result == FileResult::differs) {
        healed = given;
        if (!healer->heal(*healed)) {
            healed.reset();
        }
    }
    const EntryOutcome& outcome = healed ? *healed : given;
    if (outcome.result == FileResult::missing) {
        reportedMissing.insert(relativePath(options_.run.folder, outcome.path));
    }
    if (outcome.isFolder && outcome.result == FileResult::readFailed) {
        unreadFolders.push_back(outcome.path == options_.run.folder
                                    ? std::string()
                                    : relativePath(options_.run.folder, outcome.path));
    }
    observer_.entryDone(outcome);
    if (reads_ != nullptr) {
        reads_->delivered(outcome);
    }
}

} // namespace quelby::scrub
