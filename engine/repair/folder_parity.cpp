#include "engine/repair/folder_parity.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/parity_reader.h"
#include "engine/repair/parity_rebuild.h"
#include "engine/repair/put_back.h"
#include "engine/store/file_names.h"
#include "engine/tree/folder_stack.h"
#include "engine/tree/listing.h"
#include "engine/tree/open_below.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace quelby {

namespace {

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::expected<FileDescriptor, std::string> openPart(int folder, const std::string& name,
                                                    std::optional<struct stat> trustedIn)
{
    auto opened = sys::openAt(folder, name, kReadFlags);
    if (!opened) {
        return std::unexpected(opened.error().code == ELOOP ? "it is a symbolic link"
                                                            : opened.error().description);
    }
    FileDescriptor file(*opened);
    const auto info = sys::fstat(file.get());
    if (!info) {
        return std::unexpected(info.error().description);
    }
    if (!S_ISREG(info->st_mode)) {
        return std::unexpected("it is not a regular file");
    }
    if (trustedIn && !trustedEvidenceFile(*info, *trustedIn)) {
        return std::unexpected("it belongs to another user");
    }
    return file;
}

const std::string_view kSuffix = ".par2";

} // namespace

std::expected<std::optional<FolderParity>, std::string> FolderParity::own(int folder)
{
    const auto folderInfo = sys::fstat(folder);
    if (!folderInfo) {
        return std::unexpected(folderInfo.error().description);
    }
    FolderParity parity;
    parity.folder_ = folder;
    for (int number = 1;; ++number) {
        const std::string name = parity::setFileName(number);
        auto part = openPart(folder, name, *folderInfo);
        if (!part) {
            if (!sys::fstatAt(folder, name, AT_SYMLINK_NOFOLLOW)) {
                break; // no set of that number: the numbers end here
            }
            return std::unexpected(name + ": " + part.error());
        }
        Set set;
        set.parts.push_back(std::move(*part));
        const int fds[] = {set.parts.front().get()};
        auto contents = parity::readSet(fds);
        if (!contents) {
            return std::unexpected(name + ": " + contents.error());
        }
        set.contents = std::move(*contents);
        parity.sets_.push_back(std::move(set));
    }
    if (parity.sets_.empty()) {
        return std::optional<FolderParity>{};
    }
    return std::optional<FolderParity>(std::move(parity));
}

std::expected<FolderParity, std::string> FolderParity::foreign(int folder, const std::string& name)
{
    FolderParity parity;
    parity.folder_ = folder;
    parity.foreign_ = true;
    auto first = openPart(folder, name, std::nullopt);
    if (!first) {
        return std::unexpected(first.error());
    }
    Set set;
    set.parts.push_back(std::move(*first));
    // Its volumes: every BASE*.par2 beside it; the reader keeps the packets of its set only.
    const std::string base =
        name.ends_with(kSuffix) ? name.substr(0, name.size() - kSuffix.size()) : name;
    const auto reopened = sys::openAt(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const FileDescriptor listed(reopened.value_or(-1));
    if (const auto listing = reopened ? Listing::of(listed) : std::unexpected(reopened.error());
        listing) {
        for (std::size_t index = 0; index < listing->size(); ++index) {
            const std::string other((*listing)[index].name);
            if (other != name && other.starts_with(base) && other.ends_with(kSuffix)) {
                if (auto part = openPart(folder, other, std::nullopt)) {
                    set.parts.push_back(std::move(*part));
                }
            }
        }
    }
    std::vector<int> fds;
    for (const FileDescriptor& part : set.parts) {
        fds.push_back(part.get());
    }
    auto contents = parity::readSet(fds);
    if (!contents) {
        return std::unexpected(contents.error());
    }
    set.contents = std::move(*contents);
    parity.sets_.push_back(std::move(set));
    return parity;
}

const parity::CoveredRecord* FolderParity::record(std::string_view name) const
{
    for (const Set& set : sets_) {
        for (const parity::CoveredRecord& record : set.contents.covered) {
            if (record.name == name) {
                return &record;
            }
        }
    }
    return nullptr;
}

bool FolderParity::covers(std::string_view name) const
{
    for (const Set& set : sets_) {
        for (const parity::InputFile& file : set.contents.files) {
            if (file.name == name) {
                return true;
            }
        }
    }
    const parity::CoveredRecord* recorded = record(name);
    return recorded != nullptr && recorded->size == 0;
}

std::vector<std::string> FolderParity::namesCovered() const
{
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (std::ranges::find(names, name) == names.end()) {
            names.push_back(name);
        }
    };
    for (const Set& set : sets_) {
        for (const parity::CoveredRecord& record : set.contents.covered) {
            add(record.name);
        }
        for (const parity::InputFile& file : set.contents.files) {
            add(file.name);
        }
    }
    return names;
}

std::expected<void, std::string>
FolderParity::rebuild(std::string_view name, int out,
                      const std::function<bool(std::string_view)>& provenWhole,
                      const std::function<bool()>& stop) const
{
    for (const Set& set : sets_) {
        const bool holds = std::ranges::any_of(
            set.contents.files, [name](const parity::InputFile& file) { return file.name == name; });
        if (!holds) {
            continue;
        }
        std::vector<int> fds;
        for (const FileDescriptor& part : set.parts) {
            fds.push_back(part.get());
        }
        parity::RebuildSources sources;
        sources.folder = folder_;
        sources.set = &set.contents;
        sources.parts = fds;
        sources.provenWhole = provenWhole ? provenWhole : [](std::string_view) { return false; };
        sources.stop = stop;
        return parity::rebuildFile(sources, name, out);
    }
    const parity::CoveredRecord* recorded = record(name);
    if (recorded != nullptr && recorded->size == 0) {
        return {}; // an empty file: nothing to write
    }
    return std::unexpected("the parity set does not cover it");
}

namespace {

// A file of the set whose size and modification time are still those the
// set recorded: its slices are taken as they are.
bool unchangedSinceRecorded(int folder, const FolderParity& parity, std::string_view name)
{
    const parity::CoveredRecord* record = parity.record(name);
    if (record == nullptr) {
        return false;
    }
    const auto info = sys::fstatAt(folder, std::string(name), AT_SYMLINK_NOFOLLOW);
    return info && S_ISREG(info->st_mode) &&
           static_cast<std::uint64_t>(info->st_size) == record->size &&
           info->st_mtim.tv_sec == record->modifiedSeconds &&
           static_cast<std::uint32_t>(info->st_mtim.tv_nsec) == record->modifiedNanoseconds;
}

} // namespace

PutBack putBackFromParity(const DamagedFile& damaged, const FolderParity& parity,
                          const ReadBuffer& buffer, DigestBackEnd backEnd,
                          const std::function<bool()>& stop)
{
    PutBack putting;
    for (const bool trusting : {true, false}) {
        const int folder = damaged.folder;
        auto unchanged = [folder, &parity, trusting](std::string_view name) {
            return trusting && unchangedSinceRecorded(folder, parity, name);
        };
        const WriteBytes bytes{[&parity, &damaged, unchanged, stop](int to) {
                                   return parity.rebuild(damaged.name, to, unchanged, stop);
                               },
                               std::string(kRebuiltDiffers)};
        putting = putBack(damaged, bytes, buffer, backEnd, stop);
        if (putting.end != PutBack::End::failed || putting.reason != kRebuiltDiffers ||
            parity.madeElsewhere()) {
            break;
        }
    }
    return putting;
}

bool hasOwnParity(const std::string& root, std::string_view relativePath)
{
    const auto opened =
        sys::openAt(AT_FDCWD, root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!opened) {
        return false;
    }
    const FileDescriptor rootFd(*opened);
    const auto folder = openFolderBelow(rootFd.get(), splitPath(relativePath).folder);
    if (!folder) {
        return false;
    }
    const auto folderInfo = sys::fstat(folder->get());
    const auto setInfo = sys::fstatAt(folder->get(), parity::setFileName(1), AT_SYMLINK_NOFOLLOW);
    return folderInfo && setInfo && S_ISREG(setInfo->st_mode) &&
           trustedEvidenceFile(*setInfo, *folderInfo);
}

std::vector<std::string> foldersWithParity(const FileDescriptor& root, const std::string& rootPath)
{
    std::vector<std::string> found;
    const auto reopened = sys::openAt(root.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!reopened) {
        return found;
    }
    FolderStack stack;
    if (!stack.enter(std::make_shared<FileDescriptor>(*reopened), rootPath)) {
        return found;
    }
    const std::string setName = parity::setFileName(1);
    while (const auto entry = stack.next([](const std::string&, const std::string&) {})) {
        const std::string name(entry->name.name);
        if (name == setName) {
            const std::string path = stack.childPath(name);
            const std::string folder = path.substr(0, path.size() - name.size() - 1);
            found.push_back(folder.empty() ? std::string("/") : folder);
            continue;
        }
        if (entry->name.type != DT_DIR && entry->name.type != DT_UNKNOWN) {
            continue;
        }
        const std::string path = stack.childPath(name);
        auto child = sys::openAt(entry->folder->get(), name,
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child) {
            (void)stack.enter(std::make_shared<FileDescriptor>(*child), path);
        }
    }
    return found;
}

} // namespace quelby
