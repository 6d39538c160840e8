#include "engine/repair/copy_folder.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/manifest_entries.h"
#include "engine/evidence/manifest_format.h"
#include "engine/store/tag_store.h"
#include "engine/tree/folder_stack.h"
#include "engine/tree/open_below.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <utility>

namespace quelby {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

} // namespace

std::expected<CopyFolder, PosixError> CopyFolder::open(const std::string& folder)
{
    auto opened = sys::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    CopyFolder copy;
    copy.folder_ = folder;
    copy.root_ = std::make_shared<const FileDescriptor>(*opened);
    // A link in the copy may lead to a file only within the copy.
    copy.rules_.realFolder = realPathOf(copy.root_->get());
    copy.rules_.targetsBeneathFolder = true;
    // Nothing but a regular file of the copy is ever opened for reading.
    copy.rules_.pathFirst = true;
    return copy;
}

std::optional<FileDescriptor> CopyFolder::openFile(std::string_view relativePath,
                                                   bool listedAsLink)
{
    const SplitPath split = splitPath(relativePath);
    auto folder = openFolderBelow(root_->get(), split.folder);
    if (!folder) {
        return std::nullopt;
    }
    const EntryToVisit entry{std::make_shared<const FileDescriptor>(std::move(*folder)),
                             std::string(split.name), std::string(relativePath), listedAsLink, {}};
    OpenedEntry opened = openEntry(entry, rules_, pseudoFileSystems_);
    if (opened.kind != OpenedEntry::Kind::file) {
        return std::nullopt;
    }
    return std::move(opened.file);
}

void CopyFolder::addFile(const std::shared_ptr<const FileDescriptor>& folder,
                         const std::string& name, const std::string& relativePath,
                         bool listedAsLink)
{
    const EntryToVisit entry{folder, name, relativePath, listedAsLink, {}};
    const OpenedEntry opened = openEntry(entry, rules_, pseudoFileSystems_);
    if (opened.kind != OpenedEntry::Kind::file) {
        return;
    }
    const auto info = sys::fstat(opened.file.get());
    if (!info) {
        return;
    }
    const auto index = static_cast<std::uint32_t>(files_.size());
    files_.push_back(CopyFile{relativePath, listedAsLink, info->st_size, std::nullopt});
    bySize_[info->st_size].push_back(index);
    EvidenceSlot slot;
    const auto stored = attributeStore()->read(StoredFile{opened.file.get(), relativePath, slot},
                                               EvidenceKind::digest);
    if (stored && *stored && (*stored)->size() == Digest{}.bytes.size()) {
        byDigest_[**stored].push_back(index);
    }
}

// Depth first, names in byte order, as every walk goes. A part of the copy
// that cannot be listed or reached simply offers no candidates.
bool CopyFolder::buildIndexes(const std::function<bool()>& stopRequested)
{
    FolderStack folders;
    (void)folders.enter(root_, folder_);
    const std::size_t prefix = folder_ == "/" ? 1 : folder_.size() + 1;
    const auto unreachable = [](const std::string&, const std::string&) {};
    while (const auto entry = folders.next(unreachable)) {
        if (stopRequested()) {
            files_.clear();
            byDigest_.clear();
            bySize_.clear();
            return false;
        }
        const std::string name(entry->name.name);
        const std::string path = folders.childPath(name);
        unsigned char type = entryType(*entry->folder, entry->name);
        if (type == DT_DIR) {
            auto child = sys::openAt(entry->folder->get(), name, kFolderFlags);
            if (child) {
                (void)folders.enter(std::make_shared<const FileDescriptor>(*child), path);
                continue;
            }
            if (child.error().code != ELOOP) {
                continue;
            }
            type = DT_LNK;
        }
        if (type == DT_REG || type == DT_LNK) {
            addFile(entry->folder, name, path.substr(prefix), type == DT_LNK);
        }
    }
    indexManifestDigests();
    indexed_ = true;
    return true;
}

// Where the copy keeps its digests in a manifest (a backup on a drive
// without attributes), its entries index the files they name. A manifest that
// cannot be read simply offers no candidates: every one is proven anyway.
void CopyFolder::indexManifestDigests()
{
    const auto copyFolder = sys::openAt(AT_FDCWD, folder_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!copyFolder) {
        return;
    }
    const auto location = locateEvidence(std::make_shared<const FileDescriptor>(*copyFolder),
                                         folder_, StoreChoice::automatic);
    if (!location || !location->manifest || !location->manifestExists) {
        return;
    }
    const FileDescriptor& folder = *location->manifestFolderFd;
    const auto opened = sys::openAt(folder.get(), std::string(kManifestFileName),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!opened) {
        return;
    }
    const FileDescriptor manifest(*opened);
    const auto info = sys::fstat(manifest.get());
    if (!info || !S_ISREG(info->st_mode)) {
        return;
    }
    // The copy's folder as the manifest names it: its entries' common start.
    std::string scope;
    if (folder_ != location->manifestFolder) {
        scope = folder_.substr(location->manifestFolder == "/" ? 1
                                                               : location->manifestFolder.size() + 1) +
                "/";
    }
    std::unordered_map<std::string_view, std::uint32_t> byPath;
    for (std::uint32_t index = 0; index < files_.size(); ++index) {
        byPath.emplace(files_[index].relativePath, index);
    }
    const auto entries = streamedEntries(manifest.get());
    for (; const ManifestEntry* entry = entries->current(); entries->advance()) {
        if (!entry->digest || entry->digest->size() != Digest{}.bytes.size() ||
            !entry->key.starts_with(scope)) {
            continue;
        }
        const auto file = byPath.find(std::string_view(entry->key).substr(scope.size()));
        if (file != byPath.end()) {
            byDigest_[*entry->digest].push_back(file->second);
        }
    }
}

std::expected<std::vector<std::uint32_t>, Stopped>
CopyFolder::filesCarrying(const Digest& digest, const std::function<bool()>& stopRequested)
{
    if (!indexed_ && !buildIndexes(stopRequested)) {
        return std::unexpected(Stopped{});
    }
    const auto found = byDigest_.find(std::string(digest.view()));
    return found != byDigest_.end() ? found->second : std::vector<std::uint32_t>{};
}

std::expected<std::vector<std::uint32_t>, Stopped>
CopyFolder::filesOfSize(std::int64_t size, const std::function<bool()>& stopRequested)
{
    if (!indexed_ && !buildIndexes(stopRequested)) {
        return std::unexpected(Stopped{});
    }
    const auto found = bySize_.find(size);
    return found != bySize_.end() ? found->second : std::vector<std::uint32_t>{};
}

} // namespace quelby
