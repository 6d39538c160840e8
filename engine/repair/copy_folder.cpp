#include "copy_folder.h"

#include "engine/repair/open_below.h"
#include "engine/tag_store.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <utility>

namespace quelby {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Name
{
    std::string name;
    unsigned char type;
};

// A folder's names in byte order; none when it cannot be listed, since a
// part of a copy that cannot be read simply offers no candidates.
std::vector<Name> sortedNames(const FileDescriptor& folder)
{
    std::vector<Name> names;
    const int listing = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
    if (listing < 0) {
        return names;
    }
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        (void)sys::close(listing);
        return names;
    }
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(Name{std::string(name), entry->d_type});
        }
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end(),
              [](const Name& a, const Name& b) { return a.name < b.name; });
    return names;
}

unsigned char typeOf(const FileDescriptor& folder, const Name& entry)
{
    if (entry.type != DT_UNKNOWN) {
        return entry.type;
    }
    const auto info = sys::fstatAt(folder.get(), entry.name, AT_SYMLINK_NOFOLLOW);
    return !info                    ? DT_UNKNOWN
           : S_ISDIR(info->st_mode) ? DT_DIR
           : S_ISLNK(info->st_mode) ? DT_LNK
           : S_ISREG(info->st_mode) ? DT_REG
                                    : DT_UNKNOWN;
}

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
                             std::string(split.name), std::string(relativePath), listedAsLink};
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
    const EntryToVisit entry{folder, name, relativePath, listedAsLink};
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
    const auto stored = readExtendedAttribute(opened.file.get(), kDigestAttributeName);
    if (stored && stored->size() == Digest{}.bytes.size()) {
        byDigest_[*stored].push_back(index);
    }
}

// Depth first, names in byte order, as every walk goes; the folders on the
// way down are kept in a vector, not on the call stack.
bool CopyFolder::buildIndexes(const std::function<bool()>& stopRequested)
{
    struct Level
    {
        std::shared_ptr<const FileDescriptor> folder;
        std::string relativePath;
        std::vector<Name> names;
        std::size_t next = 0;
    };
    std::vector<Level> levels;
    levels.push_back(Level{root_, {}, sortedNames(*root_), 0});
    while (!levels.empty()) {
        if (stopRequested()) {
            files_.clear();
            byDigest_.clear();
            bySize_.clear();
            return false;
        }
        Level& level = levels.back();
        if (level.next == level.names.size()) {
            levels.pop_back();
            continue;
        }
        const Name& entry = level.names[level.next++];
        const std::string relativePath =
            level.relativePath.empty() ? entry.name : level.relativePath + "/" + entry.name;
        unsigned char type = typeOf(*level.folder, entry);
        if (type == DT_DIR) {
            auto child = sys::openAt(level.folder->get(), entry.name, kFolderFlags);
            if (child) {
                auto folder = std::make_shared<const FileDescriptor>(*child);
                auto names = sortedNames(*folder);
                levels.push_back(Level{std::move(folder), relativePath, std::move(names), 0});
                continue;
            }
            if (child.error().code != ELOOP) {
                continue;
            }
            type = DT_LNK;
        }
        if (type == DT_REG || type == DT_LNK) {
            addFile(level.folder, entry.name, relativePath, type == DT_LNK);
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
