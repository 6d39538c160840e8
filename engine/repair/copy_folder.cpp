#include "copy_folder.h"

#include "engine/folder_stack.h"
#include "engine/repair/open_below.h"
#include "engine/tag_store.h"

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
    indexed_ = true;
    return true;
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
