#include "engine/evidence/nested_manifests.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/manifest_format.h"
#include "engine/evidence/manifest_store.h"
#include "engine/platform/sys.h"
#include "engine/text/display_text.h"

#include <cerrno>
#include <fcntl.h>

namespace quelby {

namespace {

bool below(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

// Whether the walk lists path after everything below folder.
bool listedAfter(const std::string& path, const std::string& folder)
{
    return !below(path, folder) && walkOrderLess(folder, path);
}

// A manifest that could not be opened: its folder's files cannot be judged
// or tagged, and say why, rather than fall to another store.
class UnusableManifest : public EvidenceStore
{
public:
    explicit UnusableManifest(std::string reason) : reason_(std::move(reason)) {}

    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile&, EvidenceKind) override
    {
        return std::unexpected(PosixError{EIO, reason_});
    }
    std::expected<void, PosixError> write(const StoredFile&, EvidenceKind,
                                          std::string_view) override
    {
        return std::unexpected(PosixError{EIO, reason_});
    }
    std::expected<void, PosixError> remove(const StoredFile&, EvidenceKind) override
    {
        return std::unexpected(PosixError{EIO, reason_});
    }

private:
    std::string reason_;
};

} // namespace

NestedManifests::NestedManifests(std::shared_ptr<EvidenceStore> top, std::string folder,
                                 Operation operation, bool writes)
    : top_(std::move(top)), folder_(std::move(folder)), operation_(operation), writes_(writes)
{
}

void NestedManifests::folderEntered(const std::string& path, int folderFd)
{
    if (!below(path, folder_)) {
        return;
    }
    const auto info =
        sys::fstatAt(folderFd, std::string(kManifestFileName), AT_SYMLINK_NOFOLLOW);
    if (!info) {
        return;
    }
    const auto folderInfo = sys::fstat(folderFd);
    if (!folderInfo || !trustedEvidenceFile(*info, *folderInfo)) {
        notices_.push_back(passedOverNotice(manifestPath(path)));
        return;
    }
    innermostFor(path)->folderHasOwnManifest(path);
    // The folder the walk holds, never its name again: by now the name may lead elsewhere.
    std::expected<std::shared_ptr<ManifestStore>, std::string> opened;
    if (auto reopened = sys::openAt(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        opened = ManifestStore::open(std::make_shared<const FileDescriptor>(*reopened), path, path,
                                     operation_, writes_);
    } else {
        opened = std::unexpected("Couldn't open " + escapedForReport(path) + ": " +
                                 reopened.error().description);
    }
    if (opened) {
        open_.push_back(Nested{path, std::move(*opened)});
    } else {
        failures_.push_back(opened.error());
        open_.push_back(Nested{path, std::make_shared<UnusableManifest>(opened.error())});
    }
}

const std::shared_ptr<EvidenceStore>& NestedManifests::innermostFor(const std::string& path)
{
    for (auto nested = open_.rbegin(); nested != open_.rend(); ++nested) {
        if (below(path, nested->folder)) {
            return nested->store;
        }
    }
    return top_;
}

void NestedManifests::lookUp(const std::string& path, EvidenceSlot& slot)
{
    const std::shared_ptr<EvidenceStore>& store = innermostFor(path);
    store->lookUp(path, slot);
    // The folder's own store needs no owner: this store holds it, and a file
    // without one is read and written there.
    if (store != top_) {
        slot.owner = store;
    }
}

std::expected<std::optional<Bytes>, PosixError> NestedManifests::read(const StoredFile& file,
                                                                      EvidenceKind kind)
{
    return storeOf(file).read(file, kind);
}

std::expected<void, PosixError> NestedManifests::write(const StoredFile& file, EvidenceKind kind,
                                                       std::string_view value)
{
    return storeOf(file).write(file, kind, value);
}

std::expected<void, PosixError> NestedManifests::remove(const StoredFile& file, EvidenceKind kind)
{
    return storeOf(file).remove(file, kind);
}

std::vector<std::string> NestedManifests::goneBefore(const std::string* path)
{
    // The walk has left these folders: what their manifests list and it did not meet is gone.
    while (!open_.empty() && (path == nullptr || !below(*path, open_.back().folder))) {
        if (auto gone = open_.back().store->goneBefore(nullptr); !gone.empty()) {
            return gone;
        }
        pending_.push_back(std::move(open_.back()));
        open_.pop_back();
    }
    EvidenceStore& store = path != nullptr ? *innermostFor(*path) : *top_;
    return store.goneBefore(path);
}

void NestedManifests::finishNested(Nested& nested)
{
    if (auto written = nested.store->finish(); !written) {
        failures_.push_back(written.error());
    }
}

void NestedManifests::apply(const EntryOutcome& outcome)
{
    // Outcomes come in walk order, but behind the walk: an outcome of an entry
    // listed after a folder the walk has left means all of the folder's are in.
    // One listed before it (a large file still read while the walk went on)
    // says nothing yet.
    while (!pending_.empty() && listedAfter(outcome.path, pending_.front().folder)) {
        finishNested(pending_.front());
        pending_.pop_front();
    }
    for (auto nested = pending_.rbegin(); nested != pending_.rend(); ++nested) {
        if (below(outcome.path, nested->folder)) {
            nested->store->apply(outcome);
            return;
        }
    }
    innermostFor(outcome.path)->apply(outcome);
}

void NestedManifests::keptDamaged(const std::string& path, std::string_view mark)
{
    for (auto nested = pending_.rbegin(); nested != pending_.rend(); ++nested) {
        if (below(path, nested->folder)) {
            nested->store->keptDamaged(path, mark);
            return;
        }
    }
    innermostFor(path)->keptDamaged(path, mark);
}

std::expected<void, std::string> NestedManifests::finish()
{
    while (!pending_.empty()) {
        finishNested(pending_.front());
        pending_.pop_front();
    }
    while (!open_.empty()) {
        finishNested(open_.back());
        open_.pop_back();
    }
    if (auto written = top_->finish(); !written) {
        failures_.push_back(written.error());
    }
    if (failures_.empty()) {
        return {};
    }
    std::string reasons;
    for (const std::string& failure : failures_) {
        reasons += (reasons.empty() ? "" : "; ") + failure;
    }
    return std::unexpected(reasons);
}

} // namespace quelby
