#include "engine/tree/folder_stack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace quelby {

std::string FolderStack::childPath(std::string_view name) const
{
    return joinedPath(path_, name);
}

void FolderStack::childPath(std::string_view name, std::string& into) const
{
    into = path_;
    if (into != "/") {
        into += '/';
    }
    into += name;
}

std::expected<void, PosixError> FolderStack::enter(std::shared_ptr<const FileDescriptor> folder,
                                                   std::string path)
{
    auto listing = Listing::of(*folder, keepsInodes_);
    if (!listing) {
        return std::unexpected(listing.error());
    }
    const auto info = sys::fstat(folder->get());
    if (!info) {
        return std::unexpected(info.error());
    }
    path_ = std::move(path);
    levels_.push_back(Level{std::move(folder), info->st_dev, info->st_ino, path_.size(),
                            std::move(*listing), 0});
    if (levels_.size() > openLevels_) {
        levels_[levels_.size() - openLevels_ - 1].folder.reset();
    }
    return {};
}

std::optional<FolderStack::Entry> FolderStack::next(const Unreachable& unreachable)
{
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.next < level.listing.size()) {
            return Entry{level.folder, level.listing[level.next++]};
        }
        leave(unreachable);
    }
    return std::nullopt;
}

// Back up one level; the folder above is reopened if it gave its descriptor back.
void FolderStack::leave(const Unreachable& unreachable)
{
    const std::shared_ptr<const FileDescriptor> child = std::move(levels_.back().folder);
    levels_.pop_back();
    if (levels_.empty()) {
        return;
    }
    path_.resize(levels_.back().pathLength);
    if (levels_.back().folder) {
        return;
    }
    const std::string problem = reopenParent(*child, levels_.back());
    // Without it the folders above cannot be reached safely: their
    // remaining names are given up, each folder told.
    while (!problem.empty() && !levels_.empty() && !levels_.back().folder) {
        unreachable(path_, problem);
        levels_.pop_back();
        if (!levels_.empty()) {
            path_.resize(levels_.back().pathLength);
        }
    }
}

// Reopens a folder through its child's "..": empty, or what went wrong.
std::string FolderStack::reopenParent(const FileDescriptor& child, Level& parent)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    auto reopened = sys::openAt(child.get(), "..", flags);
    if (!reopened) {
        return reopened.error().description;
    }
    auto folder = std::make_shared<FileDescriptor>(*reopened);
    const auto info = sys::fstat(folder->get());
    if (!info) {
        return info.error().description;
    }
    if (info->st_dev != parent.device || info->st_ino != parent.inode) {
        return "the folder was moved while it was being read";
    }
    parent.folder = std::move(folder);
    return {};
}

unsigned char entryType(const FileDescriptor& folder, Listing::Name entry)
{
    if (entry.type != DT_UNKNOWN) {
        return entry.type;
    }
    const auto info = sys::fstatAt(folder.get(), std::string(entry.name), AT_SYMLINK_NOFOLLOW);
    return !info                    ? DT_REG
           : S_ISDIR(info->st_mode) ? DT_DIR
           : S_ISLNK(info->st_mode) ? DT_LNK
           : S_ISREG(info->st_mode) ? DT_REG
                                    : DT_FIFO;
}

} // namespace quelby
