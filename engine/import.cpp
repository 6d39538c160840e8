#include "import.h"

#include "display_text.h"
#include "entry_open.h"
#include "manifest_format.h"
#include "report_text.h"
#include "run.h"
#include "sums_list.h"
#include "sys.h"
#include "time_stamp.h"
#include "transfer_text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <vector>

namespace quelby {

namespace {

constexpr std::string_view kLeavesFolder = "the path leaves the folder";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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
            if (observer_.stopRequested()) {
                state_.stopped = true;
                break;
            }
            // The lines that list one file share its slot, so the second sees what the first stored.
            std::size_t end = first + 1;
            while (end < files.size() && files[end].key == files[first].key) {
                ++end;
            }
            const std::string path = absolutePath(options_.folder, files[first].key);
            (void)options_.evidence->goneBefore(&path);
            EntryOutcome entry;
            entry.path = path;
            options_.evidence->lookUp(path, entry.evidence);
            for (std::size_t index = first; index < end && !state_.stopped; ++index) {
                importOne(files[index], path, entry.evidence);
            }
            options_.evidence->apply(entry);
            first = end;
        }
        if (auto kept = options_.evidence->finish(); !kept) {
            state_.finishError = kept.error();
        }
    }

private:
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
            auto key = keyOf((*parsed)->path);
            if (!key) {
                outcome.path = (*parsed)->path;
                outcome.listed = (*parsed)->digest;
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
        const auto root = sys::openAt(AT_FDCWD, options_.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root) {
            root_ = FileDescriptor(*root);
            rules_.realFolder = realPathOf(root_.get());
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
            outcome.path = file.listedPath;
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

    void importOne(const ListedFile& file, const std::string& path, EvidenceSlot& slot)
    {
        ImportOutcome outcome;
        outcome.lineNumber = file.lineNumber;
        outcome.path = file.listedPath;
        outcome.listed = file.digest;
        const std::string shown = escapedForReport(file.listedPath);
        Reached reached = reach(root_.get(), file.key, rules_, pseudoFileSystems_);
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
        const auto digest = fileDigestFrom(
            reached.opened.file.get(), reached.opened.info, *buffer_, options_.backEnd,
            [this](std::size_t count) {
                state_.bytesRead += static_cast<std::int64_t>(count);
                observer_.bytesRead(state_.bytesRead);
                return !observer_.stopRequested();
            });
        if (!digest && observer_.stopRequested()) {
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
        judge(outcome, stored, shown);
        observer_.lineDone(outcome);
    }

    void judge(ImportOutcome& outcome, const StoredFile& stored, const std::string& shown)
    {
        const Digest& computed = *outcome.computed;
        if (!computed.matches(*outcome.listed)) {
            outcome.result = ImportResult::differs;
            outcome.lines = report::differsPlainLine(shown);
            ++state_.differsCount;
            return;
        }
        const bool wellFormed = outcome.stored && outcome.stored->size() == computed.bytes.size();
        if (wellFormed && !computed.matches(*outcome.stored)) {
            outcome.result = ImportResult::kept;
            outcome.lines = report::keptStoredLine(shown);
            ++state_.keptCount;
            return;
        }
        if (!wellFormed) {
            const auto written =
                options_.evidence->write(stored, EvidenceKind::digest, computed.view());
            if (!written) {
                outcome.result = ImportResult::tagFailed;
                outcome.error = written.error().description;
                outcome.lines = report::couldntTagNotice(shown, outcome.error);
                ++state_.tagFailedCount;
                return;
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
    }

    const ImportOptions& options_;
    ImportObserver& observer_;
    ImportState& state_;
    FileDescriptor root_;
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    std::optional<ReadBuffer> buffer_;
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
