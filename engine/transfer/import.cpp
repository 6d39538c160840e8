#include "engine/transfer/import.h"

#include "engine/evidence/manifest_format.h"
#include "engine/platform/sys.h"
#include "engine/read/disk_order.h"
#include "engine/run/entry_open.h"
#include "engine/run/run.h"
#include "engine/run/time_stamp.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/transfer_text.h"
#include "engine/transfer/sums_list.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <vector>

namespace quelby {

namespace {

constexpr std::string_view kLeavesFolder = "the path leaves the folder";
constexpr std::string_view kAbsoluteRefused = "absolute paths are refused; list paths relative to ";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Files read ahead in disk order at a time. Only their digests wait: each
// file is reached from the folder again when read, so no descriptor stays open.
constexpr std::size_t kDiskWindow = 4096;

struct ListedFile
{
    std::size_t lineNumber = 0;
    std::string listedPath;
    std::string key; // the path below the folder without "." or empty names; empty: the folder
    Bytes digest;
};

// The listed path as the walk names it below the folder; none when it leaves
// the folder, being absolute or climbing with "..".
std::optional<std::string> keyOf(std::string_view listed)
{
    if (listed.starts_with('/')) {
        return std::nullopt;
    }
    std::string key;
    std::size_t start = 0;
    while (start <= listed.size()) {
        std::size_t end = listed.find('/', start);
        if (end == std::string_view::npos) {
            end = listed.size();
        }
        const std::string_view name = listed.substr(start, end - start);
        start = end + 1;
        if (name == "..") {
            return std::nullopt;
        }
        if (name.empty() || name == ".") {
            continue;
        }
        if (!key.empty()) {
            key += '/';
        }
        key += name;
    }
    return key;
}

struct Reached
{
    enum class Kind
    {
        file,
        special, // no regular file, or the folder itself
        missing,
        leaves,
        failed
    };
    Kind kind = Kind::failed;
    OpenedEntry opened;
    std::string reason;
};

Reached reachedAs(Reached::Kind kind, std::string reason = {})
{
    Reached reached;
    reached.kind = kind;
    reached.reason = std::move(reason);
    return reached;
}

// Why a name below folder could not be opened: gone, a link (never followed
// on the way), or the system's own reason.
Reached whyNotOpened(int folder, const std::string& name, const PosixError& error)
{
    const auto info = sys::fstatAt(folder, name, AT_SYMLINK_NOFOLLOW);
    if (!info && info.error().code == ENOENT) {
        return reachedAs(Reached::Kind::missing);
    }
    if (info && S_ISLNK(info->st_mode)) {
        return reachedAs(Reached::Kind::leaves);
    }
    return reachedAs(Reached::Kind::failed, error.description);
}

// The listed file opened below root one name at a time. A link on the way is
// never followed; the last name may be a link to a file inside the folder, as
// the walk takes one, and is then opened as openEntry opens a link's target.
Reached reach(int root, const std::string& key, const TreeRules& rules,
              PseudoFileSystems& pseudoFileSystems)
{
    if (key.empty()) {
        return reachedAs(Reached::Kind::special);
    }
    auto opened = sys::openAt(root, ".", kFolderFlags);
    if (!opened) {
        return reachedAs(Reached::Kind::failed, opened.error().description);
    }
    auto folder = std::make_shared<FileDescriptor>(*opened);
    std::size_t start = 0;
    for (std::size_t slash = key.find('/'); slash != std::string::npos;
         slash = key.find('/', start)) {
        const std::string name = key.substr(start, slash - start);
        start = slash + 1;
        auto child = sys::openAt(folder->get(), name, kFolderFlags);
        if (!child) {
            return whyNotOpened(folder->get(), name, child.error());
        }
        folder = std::make_shared<FileDescriptor>(*child);
    }
    const std::string name = key.substr(start);
    const auto info = sys::fstatAt(folder->get(), name, AT_SYMLINK_NOFOLLOW);
    if (!info) {
        return info.error().code == ENOENT ? reachedAs(Reached::Kind::missing)
                                           : reachedAs(Reached::Kind::failed,
                                                       info.error().description);
    }
    const EntryToVisit entry{folder, name, key, S_ISLNK(info->st_mode), {}};
    Reached reached;
    reached.opened = openEntry(entry, rules, pseudoFileSystems);
    switch (reached.opened.kind) {
    case OpenedEntry::Kind::file:
        reached.kind = Reached::Kind::file;
        break;
    case OpenedEntry::Kind::special:
    case OpenedEntry::Kind::folder:
        reached.kind = Reached::Kind::special;
        break;
    case OpenedEntry::Kind::outside:
        reached.kind = Reached::Kind::leaves;
        break;
    case OpenedEntry::Kind::failed:
        reached.kind = Reached::Kind::failed;
        reached.reason = reached.opened.reason;
        break;
    }
    return reached;
}

std::string absolutePath(const std::string& folder, const std::string& key)
{
    if (key.empty()) {
        return folder;
    }
    return folder == "/" ? "/" + key : folder + "/" + key;
}

// What tells that the file reached for judging is the one read ahead,
// unchanged: a file rewritten in place in between has a new mtime or ctime.
bool sameFileAsRead(const struct stat& read, const struct stat& now)
{
    const auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return read.st_dev == now.st_dev && read.st_ino == now.st_ino &&
           read.st_size == now.st_size && same(read.st_mtim, now.st_mtim) &&
           same(read.st_ctim, now.st_ctim);
}

// A file's contents read ahead in disk order, kept until it is judged.
struct ReadAhead
{
    struct stat opened = {}; // as it was when opened for the read
    DigestResult digest;
    std::int64_t bytes = 0;
};

class Importer
{
public:
    Importer(const ImportOptions& options, ImportObserver& observer, ImportState& state)
        : options_(options), observer_(observer), state_(state)
    {
    }

    void run(std::string_view listText)
    {
        std::vector<ListedFile> files = listedFiles(listText);
        std::stable_sort(files.begin(), files.end(), [](const ListedFile& a, const ListedFile& b) {
            return walkOrderLess(a.key, b.key);
        });
        if (!prepare(files)) {
            return;
        }
        for (std::size_t first = 0; first < files.size();) {
            if (options_.order == ReadOrder::disk && first >= windowEnd_) {
                readAhead(files, first);
            }
            // After a stop, the files already read are still judged, in walk order, up to the
            // first that was not.
            if (observer_.stopRequested() && !readAheadFor(first)) {
                state_.stopped = true;
                break;
            }
            // The lines that list one file share its slot, so the second sees what the first stored.
            const std::size_t end = groupEnd(files, first);
            const std::string path = absolutePath(options_.folder, files[first].key);
            // The entries listed before it are passed over: an import reports no file missing.
            while (!options_.evidence->goneBefore(&path).empty()) {
            }
            EntryOutcome entry;
            entry.path = path;
            options_.evidence->lookUp(path, entry.evidence);
            for (std::size_t index = first; index < end && !state_.stopped; ++index) {
                importOne(files[index], path, entry.evidence, readAheadFor(first));
            }
            options_.evidence->apply(entry);
            first = end;
        }
        if (auto kept = options_.evidence->finish(); !kept) {
            state_.finishError = kept.error();
        }
    }

private:
    // The end of the group of lines that list the same file as files[first].
    static std::size_t groupEnd(const std::vector<ListedFile>& files, std::size_t first)
    {
        std::size_t end = first + 1;
        while (end < files.size() && files[end].key == files[first].key) {
            ++end;
        }
        return end;
    }

    // Reads the contents of the files of the window that starts at first, in
    // the order of their places on the disk, and keeps each digest for the
    // walk-order judgement. A stop ends the reads; what was read is kept.
    void readAhead(const std::vector<ListedFile>& files, std::size_t first)
    {
        windowStart_ = first;
        windowEnd_ = first;
        readAhead_.clear();
        std::vector<std::size_t> groups;
        std::vector<PlacedFile> placed;
        while (windowEnd_ < files.size() && windowEnd_ - first < kDiskWindow) {
            const std::size_t group = windowEnd_;
            windowEnd_ = groupEnd(files, group);
            // The lookups follow walk order: reaching a file reads its folders and its
            // inode anyway, and its place is asked of the descriptor that reached it.
            Reached reached = reach(root_->get(), files[group].key, rules_, pseudoFileSystems_);
            if (reached.kind == Reached::Kind::file) {
                groups.push_back(group);
                placed.push_back({reached.opened.info.st_ino,
                                  diskPlaceOfOpenFile(reached.opened.file.get())});
            }
        }
        readAhead_.resize(windowEnd_ - windowStart_);
        for (const std::size_t i : elevatorOrder(placed, head_)) {
            if (observer_.stopRequested()) {
                return;
            }
            // Reached again from the folder, one name at a time, as for the judgement:
            // whatever now has the name is read.
            const std::size_t group = groups[i];
            Reached reached = reach(root_->get(), files[group].key, rules_, pseudoFileSystems_);
            if (reached.kind != Reached::Kind::file) {
                continue;
            }
            ReadAhead read;
            read.opened = reached.opened.info;
            read.digest = digestOf(reached.opened, read.bytes);
            if (!read.digest && observer_.stopRequested()) {
                return; // a file stopped part-way is not kept
            }
            readAhead_[group - windowStart_] = std::move(read);
        }
    }

    // The contents read ahead for the group that starts at first, if any.
    ReadAhead* readAheadFor(std::size_t first)
    {
        if (first < windowStart_ || first - windowStart_ >= readAhead_.size() ||
            !readAhead_[first - windowStart_]) {
            return nullptr;
        }
        return &*readAhead_[first - windowStart_];
    }

    // The file's digest; bytes counts what was read of it.
    DigestResult digestOf(const OpenedEntry& opened, std::int64_t& bytes)
    {
        return fileDigestFrom(opened.file.get(), opened.info, *buffer_, options_.backEnd,
                              [this, &bytes](std::size_t count) {
                                  bytes += static_cast<std::int64_t>(count);
                                  progressBytes_ += static_cast<std::int64_t>(count);
                                  observer_.bytesRead(progressBytes_);
                                  return !observer_.stopRequested();
                              });
    }

    // Every line read; those that cannot be read and the paths that leave the
    // folder are reported at once, the files returned.
    std::vector<ListedFile> listedFiles(std::string_view listText)
    {
        std::vector<ListedFile> files;
        std::size_t lineNumber = 0;
        for (std::size_t start = 0; start < listText.size();) {
            std::size_t end = listText.find('\n', start);
            if (end == std::string_view::npos) {
                end = listText.size();
            }
            const auto parsed = parseSumsLine(listText.substr(start, end - start));
            start = end + 1;
            ++lineNumber;
            if (parsed && !*parsed) {
                continue;
            }
            ++state_.listedCount;
            ImportOutcome outcome;
            outcome.lineNumber = lineNumber;
            if (!parsed) {
                outcome.error = parsed.error();
                outcome.lines =
                    report::couldntReadListLine(lineNumber, options_.listName, parsed.error());
                failRead(outcome);
                continue;
            }
            // A path that leaves the folder is named as listed: it names no file of the folder.
            outcome.path = (*parsed)->path;
            outcome.listed = (*parsed)->digest;
            if (outcome.path->starts_with('/')) {
                refuse(outcome, std::string(kAbsoluteRefused) + escapedForReport(options_.folder));
                continue;
            }
            auto key = keyOf((*parsed)->path);
            if (!key) {
                refuse(outcome, kLeavesFolder);
                continue;
            }
            files.push_back({lineNumber, (*parsed)->path, std::move(*key), (*parsed)->digest});
        }
        return files;
    }

    // What every file needs: the folder open, its real path, a read buffer.
    // When one cannot be had, each file is reported with the reason.
    bool prepare(const std::vector<ListedFile>& files)
    {
        std::string reason;
        std::expected<std::shared_ptr<const FileDescriptor>, PosixError> root = options_.folderFd;
        if (!options_.folderFd) {
            const auto opened =
                sys::openAt(AT_FDCWD, options_.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            root = opened ? decltype(root)(std::make_shared<const FileDescriptor>(*opened))
                          : std::unexpected(opened.error());
        }
        if (root) {
            root_ = std::move(*root);
            rules_.realFolder = realPathOf(root_->get());
            rules_.targetsBeneathFolder = true;
            rules_.pathFirst = true;
            auto buffer = ReadBuffer::allocate(cappedBufferSize(options_.bufferSize, 1));
            if (buffer) {
                buffer_.emplace(std::move(*buffer));
                return true;
            }
            reason = buffer.error().description;
        } else {
            reason = root.error().description;
        }
        for (const ListedFile& file : files) {
            ImportOutcome outcome;
            outcome.lineNumber = file.lineNumber;
            outcome.path = absolutePath(options_.folder, file.key);
            outcome.listed = file.digest;
            refuse(outcome, reason);
        }
        return false;
    }

    void failRead(ImportOutcome& outcome)
    {
        outcome.result = ImportResult::readFailed;
        ++state_.readFailedCount;
        observer_.lineDone(outcome);
    }

    void refuse(ImportOutcome& outcome, std::string_view reason)
    {
        outcome.error = reason;
        outcome.lines = report::couldntReadLine(escapedForReport(*outcome.path), reason);
        failRead(outcome);
    }

    void importOne(const ListedFile& file, const std::string& path, EvidenceSlot& slot,
                   ReadAhead* readAhead)
    {
        // Named as Check names it; a link that leads out of the folder names no file of
        // it, and keeps the path as listed.
        ImportOutcome outcome;
        outcome.lineNumber = file.lineNumber;
        outcome.path = path;
        outcome.listed = file.digest;
        const std::string shown = escapedForReport(path);
        Reached reached = reach(root_->get(), file.key, rules_, pseudoFileSystems_);
        switch (reached.kind) {
        case Reached::Kind::special:
            observer_.lineDone(outcome);
            return;
        case Reached::Kind::missing:
            outcome.result = ImportResult::missing;
            outcome.lines = report::missingLine(shown);
            ++state_.missingCount;
            observer_.lineDone(outcome);
            return;
        case Reached::Kind::leaves:
            outcome.path = file.listedPath;
            refuse(outcome, kLeavesFolder);
            return;
        case Reached::Kind::failed:
            refuse(outcome, reached.reason);
            return;
        case Reached::Kind::file:
            break;
        }
        const StoredFile stored{reached.opened.file.get(), path, slot};
        const auto storedValue = options_.evidence->read(stored, EvidenceKind::digest);
        if (!storedValue && storedValue.error().code != EOPNOTSUPP) {
            refuse(outcome, storedValue.error().description);
            return;
        }
        outcome.stored = storedValue ? *storedValue : std::nullopt;
        std::int64_t bytes = 0;
        DigestResult digest;
        const bool readBefore =
            readAhead != nullptr && sameFileAsRead(readAhead->opened, reached.opened.info);
        if (readBefore) {
            digest = readAhead->digest;
            bytes = readAhead->bytes;
        } else {
            digest = digestOf(reached.opened, bytes);
        }
        state_.bytesRead += bytes;
        if (!digest && !readBefore && observer_.stopRequested()) {
            state_.stopped = true; // a file stopped part-way gets no line and no digest
            return;
        }
        if (!digest) {
            refuse(outcome, digest.error().description);
            return;
        }
        if (!*digest) {
            observer_.lineDone(outcome);
            return;
        }
        outcome.computed = **digest;
        const bool wrote = judge(outcome, stored, shown);
        if (wrote && readBefore) {
            keepAfterOwnWrite(*readAhead, reached.opened.file.get());
        }
        observer_.lineDone(outcome);
    }

    // Storing a digest in an attribute changes the file's ctime, not its
    // contents: the next line that lists the same file still uses what was
    // read ahead, unless the file changed in another way meanwhile.
    static void keepAfterOwnWrite(ReadAhead& readAhead, int fd)
    {
        const auto now = sys::fstat(fd);
        if (now) {
            struct stat expected = *now;
            expected.st_ctim = readAhead.opened.st_ctim;
            if (sameFileAsRead(readAhead.opened, expected)) {
                readAhead.opened.st_ctim = now->st_ctim;
            }
        }
    }

    // Judges the file's digest against the list and the store; true when it wrote to the store.
    bool judge(ImportOutcome& outcome, const StoredFile& stored, const std::string& shown)
    {
        const Digest& computed = *outcome.computed;
        if (!computed.matches(*outcome.listed)) {
            outcome.result = ImportResult::differs;
            outcome.lines = report::differsPlainLine(shown);
            ++state_.differsCount;
            return false;
        }
        const bool wellFormed = outcome.stored && outcome.stored->size() == computed.bytes.size();
        if (wellFormed && !computed.matches(*outcome.stored)) {
            outcome.result = ImportResult::kept;
            outcome.lines = report::keptStoredLine(shown);
            ++state_.keptCount;
            return false;
        }
        if (!wellFormed) {
            const auto written =
                options_.evidence->write(stored, EvidenceKind::digest, computed.view());
            if (!written) {
                outcome.result = ImportResult::tagFailed;
                outcome.error = written.error().description;
                outcome.lines = report::couldntTagNotice(shown, outcome.error);
                ++state_.tagFailedCount;
                return true;
            }
            if (options_.timeStamps) {
                const std::string stamp = timeStampText(std::chrono::system_clock::now());
                (void)options_.evidence->write(stored, EvidenceKind::stamp, stamp);
            }
        }
        outcome.result = ImportResult::imported;
        if (!wellFormed || options_.verbose) {
            outcome.lines = report::importedLine(shown);
        }
        ++state_.importedCount;
        return !wellFormed;
    }

    const ImportOptions& options_;
    ImportObserver& observer_;
    ImportState& state_;
    std::shared_ptr<const FileDescriptor> root_;
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    std::optional<ReadBuffer> buffer_;
    std::int64_t progressBytes_ = 0; // every byte read, read ahead or not
    // Disk order: the window being judged, and what was read ahead of it by
    // the index of its first line below windowStart_.
    std::size_t windowStart_ = 0;
    std::size_t windowEnd_ = 0;
    std::vector<std::optional<ReadAhead>> readAhead_;
    std::uint64_t head_ = 0; // where the disk's head is after the last window
};

} // namespace

ImportState importDigests(const ImportOptions& options, std::string_view listText,
                          ImportObserver& observer)
{
    ImportState state;
    Importer(options, observer, state).run(listText);
    return state;
}

} // namespace quelby
