#include "engine/evidence/manifest_store.h"
#include "engine/store/file_names.h"
#include "engine/tree/paths.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/manifest_entries.h"
#include "engine/evidence/manifest_format.h"
#include "engine/evidence/manifest_sort.h"
#include "engine/evidence/writer_lock.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "engine/tree/folder_stack.h"
#include "engine/tree/listing.h"
#include "engine/tree/open_below.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>

namespace quelby {

namespace {

constexpr std::size_t kWriteSize = 64 * 1024;

std::string hiddenSuffix()
{
    static std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

bool leavesFolder(std::string_view key)
{
    if (key.empty() || key.front() == '/') {
        return true;
    }
    std::size_t start = 0;
    while (start <= key.size()) {
        std::size_t end = key.find('/', start);
        if (end == std::string_view::npos) {
            end = key.size();
        }
        const std::string_view name = key.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

std::expected<std::shared_ptr<ManifestStore>, std::string>
ManifestStore::open(std::shared_ptr<const FileDescriptor> manifestFolderFd,
                    const std::string& manifestFolder, const std::string& folder,
                    Operation operation, bool writes, bool* busy)
{
    std::shared_ptr<ManifestStore> store(new ManifestStore());
    store->folder_ = manifestFolder;
    store->path_ = manifestPath(manifestFolder);
    store->operation_ = operation;
    store->writes_ = writes;
    if (folder.size() > manifestFolder.size()) {
        store->scope_ = folder.substr(manifestFolder == "/" ? 1 : manifestFolder.size() + 1);
    }
    const std::string shownPath = escapedForReport(store->path_);
    store->folderFd_ = std::move(manifestFolderFd);
    if (writes) {
        // A lock on the manifest itself would go with it at the rename, and a first Tag has none.
        auto lock = lockEvidenceWriters(store->folderFd_->get(), manifestFolder, shownPath,
                                        "the manifest", busy);
        if (!lock) {
            return std::unexpected(lock.error());
        }
        store->lockFd_ = std::move(*lock);
    }
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const auto manifest = sys::openAt(store->folderFd_->get(), std::string(kManifestFileName), flags);
    if (!manifest && manifest.error().code != ENOENT) {
        const std::string reason = manifest.error().code == ELOOP ? "it is a symbolic link"
                                                                  : manifest.error().description;
        return std::unexpected("Couldn't read " + shownPath + ": " + reason);
    }
    if (manifest) {
        store->manifestFd_ = FileDescriptor(*manifest);
        const auto info = sys::fstat(store->manifestFd_.get());
        if (!info) {
            return std::unexpected("Couldn't read " + shownPath + ": " + info.error().description);
        }
        if (!S_ISREG(info->st_mode)) {
            return std::unexpected("Couldn't read " + shownPath + ": it is not a regular file");
        }
        // Looked at once when it was found; a manifest put in its place since is no better.
        const auto folderInfo = sys::fstat(store->folderFd_->get());
        if (!folderInfo || !trustedEvidenceFile(*info, *folderInfo)) {
            return std::unexpected(passedOverNotice(store->path_));
        }
        auto readers = walkOrderReaders(store->manifestFd_.get());
        if (!readers) {
            return std::unexpected("Couldn't read " + shownPath + ": " + readers.error());
        }
        store->lookUps_ = std::move(readers->lookUps);
        store->copies_ = std::move(readers->copies);
    }
    if (writes) {
        // Under the lock, a new manifest left by a run that was killed is only
        // litter; one of another user's is theirs to remove.
        const auto folderInfo = sys::fstat(store->folderFd_->get());
        if (const auto listing = Listing::of(*store->folderFd_); listing && folderInfo) {
            for (std::size_t index = 0; index < listing->size(); ++index) {
                const std::string name((*listing)[index].name);
                if (!name.starts_with(kManifestNewPrefix)) {
                    continue;
                }
                const auto info =
                    sys::fstatAt(store->folderFd_->get(), name, AT_SYMLINK_NOFOLLOW);
                if (info && trustedEvidenceFile(*info, *folderInfo)) {
                    (void)sys::unlinkAt(store->folderFd_->get(), name, 0);
                }
            }
        }
        mode_t mode = 0644;
        std::optional<struct stat> old;
        if (store->manifestFd_.isOpen()) {
            if (const auto info = sys::fstat(store->manifestFd_.get())) {
                old = *info;
                mode = info->st_mode & 07777;
            }
        }
        store->newName_ = std::string(kManifestNewPrefix) + hiddenSuffix();
        const auto created =
            sys::createAt(store->folderFd_->get(), store->newName_,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (!created) {
            return std::unexpected("Couldn't write " + shownPath + ": " +
                                   created.error().description);
        }
        store->newFd_ = FileDescriptor(*created);
        if (old) {
            // A rewritten manifest keeps its owner, group and mode.
            (void)sys::fchown(store->newFd_.get(), old->st_uid, old->st_gid);
            (void)sys::fchmod(store->newFd_.get(), mode);
        }
        store->pending_ = std::string(kManifestHeader) + "\n";
    }
    return store;
}

ManifestStore::~ManifestStore()
{
    if (newFd_.isOpen()) {
        (void)newFd_.close();
        (void)sys::unlinkAt(folderFd_->get(), newName_, 0);
    }
}

std::optional<std::string> ManifestStore::keyOf(const std::string& path) const
{
    if (folder_ == "/") {
        return path.size() > 1 && path.front() == '/' ? std::optional(path.substr(1))
                                                      : std::nullopt;
    }
    if (path.size() <= folder_.size() + 1 || !path.starts_with(folder_) ||
        path[folder_.size()] != '/') {
        return std::nullopt;
    }
    return path.substr(folder_.size() + 1);
}

bool ManifestStore::inScope(const std::string& key) const
{
    if (leavesFolder(key)) {
        return false;
    }
    for (const std::string& own : ownManifests_) {
        if (key.size() > own.size() && key.starts_with(own) && key[own.size()] == '/') {
            return false;
        }
    }
    return scope_.empty() ||
           (key.size() > scope_.size() && key.starts_with(scope_) && key[scope_.size()] == '/');
}

// Gone only when the name is not there: a folder on the way that cannot be
// opened, or is a link, says nothing about the file.
bool ManifestStore::isGone(const std::string& key) const
{
    const SplitPath split = splitPath(key);
    const auto folder = openFolderBelow(folderFd_->get(), split.folder);
    if (!folder) {
        return folder.error().code == ENOENT;
    }
    const auto info = sys::fstatAt(folder->get(), std::string(split.name), AT_SYMLINK_NOFOLLOW);
    return !info && info.error().code == ENOENT;
}

void ManifestStore::folderHasOwnManifest(const std::string& folder)
{
    if (const auto key = keyOf(folder)) {
        ownManifests_.push_back(*key);
    }
}

std::vector<std::string> ManifestStore::goneBefore(const std::string* path)
{
    std::vector<std::string> gone;
    if (!lookUps_) {
        return gone;
    }
    const auto key = path != nullptr ? keyOf(*path) : std::nullopt;
    if (path != nullptr && !key) {
        return gone;
    }
    while (gone.size() < kGoneBatch) {
        const ManifestEntry* entry = lookUps_->current();
        if (entry == nullptr || (key && !walkOrderLess(entry->key, *key))) {
            break;
        }
        if (!entry->digestText.empty() && inScope(entry->key) && isGone(entry->key)) {
            gone.push_back(joinedPath(folder_, entry->key));
        }
        lookUps_->advance();
    }
    return gone;
}

void ManifestStore::lookUp(const std::string& path, EvidenceSlot& slot)
{
    const auto key = keyOf(path);
    if (!lookUps_ || !key) {
        return;
    }
    // The walk has reached the file: its entry is done with, and no later
    // entry need ask whether it is gone.
    const ManifestEntry* entry = lookUps_->current();
    if (entry != nullptr && entry->key == *key) {
        slot.digest = entry->digest;
        slot.stamp = entry->stamp;
        slot.damagedMark = entry->damagedMark;
        lookUps_->advance();
    }
}

std::expected<std::optional<Bytes>, PosixError> ManifestStore::read(const StoredFile& file,
                                                                    EvidenceKind kind)
{
    switch (kind) {
    case EvidenceKind::digest:
        return file.slot.digest;
    case EvidenceKind::stamp:
        return file.slot.stamp;
    case EvidenceKind::damagedMark:
        break;
    }
    return file.slot.damagedMark;
}

std::expected<void, PosixError> ManifestStore::write(const StoredFile& file, EvidenceKind kind,
                                                     std::string_view value)
{
    switch (kind) {
    case EvidenceKind::digest:
        file.slot.digest = Bytes(value);
        file.slot.digestWritten = true;
        return {};
    case EvidenceKind::stamp:
        file.slot.stamp = Bytes(value);
        file.slot.stampWritten = true;
        return {};
    case EvidenceKind::damagedMark:
        // Marked under the name they are kept at, once it is known (keptDamaged).
        return {};
    }
    return std::unexpected(posixError(ENOTSUP));
}

std::expected<void, PosixError> ManifestStore::remove(const StoredFile& file, EvidenceKind kind)
{
    switch (kind) {
    case EvidenceKind::digest:
        file.slot.digest.reset();
        file.slot.digestWritten = true;
        return {};
    case EvidenceKind::stamp:
        file.slot.stamp.reset();
        file.slot.stampWritten = true;
        return {};
    case EvidenceKind::damagedMark:
        break;
    }
    return std::unexpected(posixError(ENOTSUP));
}

// Written in pieces of kWriteSize; the first failure is kept for finish to report.
void ManifestStore::writeOut(std::string_view bytes)
{
    pending_ += bytes;
    if (pending_.size() >= kWriteSize) {
        flushPending();
    }
}

void ManifestStore::flushPending()
{
    if (!writeError_ && !pending_.empty()) {
        if (const auto written = sys::writeAll(newFd_.get(), pending_.data(), pending_.size());
            !written) {
            writeError_ = written.error().description;
        }
    }
    pending_.clear();
}

void ManifestStore::keptDamaged(const std::string& path, std::string_view mark)
{
    const auto key = keyOf(path);
    const std::size_t feed = mark.find('\n');
    const std::string_view stamp = feed == std::string_view::npos ? mark : mark.substr(feed + 1);
    if (!writes_ || !key) {
        return;
    }
    if (auto line = manifestDamagedLine(*key, stamp)) {
        kept_.emplace(*key, std::move(*line));
    }
}

// The lines of kept damage that come before key in walk order (all when none).
void ManifestStore::writeKeptBefore(const std::string* key)
{
    while (!kept_.empty() && (key == nullptr || walkOrderLess(kept_.begin()->first, *key))) {
        writeOut(kept_.begin()->second);
        kept_.erase(kept_.begin());
    }
}

// Copies the old entries before key, as they are.
void ManifestStore::copyUpTo(const std::string* key)
{
    for (const ManifestEntry* entry = copies_ ? copies_->current() : nullptr;
         entry != nullptr && (key == nullptr || walkOrderLess(entry->key, *key));
         copies_->advance(), entry = copies_->current()) {
        writeKeptBefore(&entry->key);
        writeOut(entry->verbatim());
    }
    writeKeptBefore(key);
}

void ManifestStore::apply(const EntryOutcome& outcome)
{
    if (!writes_) {
        return;
    }
    const auto key = keyOf(outcome.path);
    if (!key) {
        return;
    }
    copyUpTo(&*key);
    const ManifestEntry* old = copies_ ? copies_->current() : nullptr;
    if (old != nullptr && old->key != *key) {
        old = nullptr;
    }
    const EvidenceSlot& slot = outcome.evidence;
    // Tag and Retag drop a gone file's entry; a Check that writes (a repair)
    // did not act on it, and keeps it below as it was.
    if (outcome.result == FileResult::missing && operation_ != Operation::check) {
        if (old != nullptr) {
            writeOut(old->leading); // the comments before it are not the file's
            copies_->advance();
        }
        return;
    }
    if (!slot.digestWritten && !slot.stampWritten) {
        if (old != nullptr) {
            writeOut(old->verbatim());
            copies_->advance();
        }
        return;
    }
    std::string lines = old != nullptr ? old->leading : std::string();
    if (slot.digestWritten) {
        lines += slot.digest ? manifestDigestLine(*key, *slot.digest).value_or(std::string())
                             : std::string();
    } else if (old != nullptr) {
        lines += old->digestText;
    }
    if (slot.stampWritten) {
        lines += slot.stamp ? manifestStampLine(*key, *slot.stamp).value_or(std::string())
                            : std::string();
    } else if (old != nullptr) {
        lines += old->stampText;
    }
    writeOut(lines);
    if (old != nullptr) {
        copies_->advance();
    }
}

std::expected<void, std::string> ManifestStore::finish()
{
    auto done = finishWriting();
    // The parity sets written after the walk take the same lock.
    if (lockFd_.isOpen()) {
        (void)lockFd_.close();
    }
    return done;
}

std::expected<void, std::string> ManifestStore::finishWriting()
{
    if (!writes_ || !newFd_.isOpen()) {
        return {};
    }
    const std::string shownPath = escapedForReport(path_);
    copyUpTo(nullptr);
    if (copies_) {
        writeOut(copies_->trailing());
        if (copies_->error()) {
            writeError_ = *copies_->error();
        }
    }
    flushPending();
    if (!writeError_) {
        if (const auto synced = sys::fsync(newFd_.get()); !synced) {
            writeError_ = synced.error().description;
        }
    }
    if (!writeError_) {
        if (const auto closed = newFd_.close(); !closed) {
            writeError_ = closed.error().description;
        }
    }
    if (!writeError_) {
        const auto renamed = sys::renameAt2(folderFd_->get(), newName_, folderFd_->get(),
                                            std::string(kManifestFileName), 0);
        if (!renamed) {
            writeError_ = renamed.error().description;
        }
    }
    if (writeError_) {
        if (newFd_.isOpen()) {
            (void)newFd_.close();
        }
        (void)sys::unlinkAt(folderFd_->get(), newName_, 0);
        return std::unexpected("Couldn't write " + shownPath + ": " + *writeError_);
    }
    if (const auto synced = sys::fsync(folderFd_->get()); !synced) {
        return std::unexpected("Couldn't write " + shownPath + ": " + synced.error().description);
    }
    return {};
}

} // namespace quelby
