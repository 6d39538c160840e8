#include "engine/evidence/evidence_location.h"
#include "engine/evidence/parity_format.h"
#include "engine/operations/walk.h"
#include "engine/repair/repair.h"

#include "engine/repair/copy_search.h"
#include "engine/repair/folder_parity.h"
#include "engine/repair/put_back.h"
#include "engine/store/repair_marks.h"
#include "engine/text/display_text.h"
#include "engine/text/repair_text.h"
#include "engine/text/report_text.h"
#include "engine/tree/open_below.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>

namespace quelby {

namespace {

constexpr std::string_view kNotSha256 = "the stored digest is not a SHA-256 digest";
constexpr std::string_view kThroughLink = "reached through a link";
constexpr std::string_view kNoParity = "no parity set covers it";
constexpr std::string_view kNotCovered = "the parity set does not cover it";
constexpr std::string_view kNoSha256 = "no SHA-256 proves it";
constexpr std::string_view kUnknownLeft =
    "no time stamp tells an edit from damage (--also-unknown repairs it)";

std::expected<std::string, std::string> realPath(const std::string& path)
{
    auto resolved = sys::realPath(path);
    if (!resolved) {
        return std::unexpected(escapedForReport(path) + ": " + resolved.error().description);
    }
    return std::move(*resolved);
}

bool within(const std::string& inner, const std::string& outer)
{
    return inner == outer || outer == "/" ||
           (inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/');
}

class Repairer : public RunObserver
{
public:
    Repairer(const RepairOptions& options, RepairObserver& observer, CopySearch& search,
             const ReadBuffer& buffer, int root)
        : options_(options), observer_(observer), search_(search), buffer_(buffer), root_(root)
    {
    }

    void entryDone(const EntryOutcome& entry) override
    {
        RepairedEntry done{entry, RepairResult::none, {}, {}, {}, false};
        if (!judge(done)) {
            ++cutShort; // stopped part-way: no line, like any file a stop interrupts
            return;
        }
        observer_.entryDone(done);
    }

    void progress(const RunProgress& progress) override { observer_.progress(progress); }
    bool stopRequested() override { return observer_.stopRequested(); }

    RepairCounts counts;
    std::int64_t cutShort = 0; // files the walk counted whose repair a stop cut short

private:
    // Fills in the entry's result and line; false when a stop cut its repair short.
    bool judge(RepairedEntry& done)
    {
        const EntryOutcome& entry = done.entry;
        const std::string path = escapedForReport(entry.path);
        const bool verbose = options_.run.verbose;
        switch (entry.result) {
        case FileResult::readFailed:
            done.result = RepairResult::readFailed;
            done.lines = entry.lines;
            done.reason = entry.error;
            return true;
        case FileResult::matched:
            done.result = RepairResult::matched;
            done.lines = verbose ? report::digestsLine(path) : std::string();
            return true;
        case FileResult::noDigest:
            done.result = RepairResult::noDigest;
            done.lines = verbose ? report::noDigestBareLine(path) : std::string();
            return true;
        case FileResult::leftover:
            done.result = RepairResult::leftover;
            done.lines = entry.lines;
            return true;
        case FileResult::damagedCopy:
            done.result = RepairResult::damagedCopy;
            done.lines = entry.lines;
            return true;
        case FileResult::differs:
            break;
        default:
            return true;
        }
        // An edit is the user's; damage that stays is a failure, so that
        // "repair && ..." never goes on while it remains.
        const Verdict verdict = entry.verdict.value_or(Verdict::unknown);
        if (verdict == Verdict::edited) {
            done.result = RepairResult::left;
            done.reason = verdictText(verdict);
            done.lines = verbose ? report::leftLine(path, done.reason) : std::string();
            ++counts.left;
            return true;
        }
        if (verdict == Verdict::unknown && !options_.alsoUnknown) {
            done.result = RepairResult::left;
            done.reason = kUnknownLeft;
            done.lines = report::leftLine(path, kUnknownLeft);
            ++counts.left;
            ++counts.leftUnknown;
            return true;
        }
        ++counts.toRepair;
        if (!entry.stored || entry.stored->size() != Digest{}.bytes.size()) {
            fail(done, path, std::string(kNotSha256));
            return true;
        }
        if (entry.throughLink) {
            fail(done, path, std::string(kThroughLink));
            return true;
        }
        return repair(done, path);
    }

    void fail(RepairedEntry& done, const std::string& path, std::string reason)
    {
        done.result = RepairResult::repairFailed;
        done.lines = report::couldntRepairLine(path, reason);
        done.reason = std::move(reason);
        ++counts.repairFailed;
    }

    bool repair(RepairedEntry& done, const std::string& path)
    {
        const EntryOutcome& entry = done.entry;
        const std::string relative = relativePath(options_.run.folder, entry.path);
        const SplitPath split = splitPath(relative);
        auto folder = root_ >= 0 ? openFolderBelow(root_, split.folder)
                                 : std::unexpected(posixError(EBADF));
        if (!folder || !entry.status) {
            fail(done, path, folder ? std::strerror(EIO) : folder.error().description);
            return true;
        }
        DamagedFile damaged;
        damaged.folder = folder->get();
        damaged.name = split.name;
        damaged.judged = *entry.status;
        std::memcpy(damaged.digest.bytes.data(), entry.stored->data(), damaged.digest.bytes.size());
        damaged.stamp = entry.stamp;
        damaged.evidence = options_.run.evidence.get();
        damaged.path = entry.path;
        if (auto refusal = repairRefusal(damaged)) {
            fail(done, path, std::move(*refusal));
            return true;
        }
        const auto fromParity = repairFromParity(done, path, damaged, split.folder);
        if (fromParity == ParityTry::done) {
            return true;
        }
        if (fromParity == ParityTry::stopped) {
            return false;
        }
        if (options_.copies.empty()) {
            fail(done, path, parityReason_);
            return true;
        }
        auto found = search_.find(relative, damaged.digest, entry.status->st_size);
        counts.copyFilesHashed = search_.filesHashed();
        if (!found) {
            return false;
        }
        if (!*found) {
            done.result = RepairResult::noCopy;
            done.lines = report::noIntactCopyLine(path);
            ++counts.noCopy;
            return true;
        }
        done.copy = (*found)->path;
        const std::string copyPath = escapedForReport((*found)->path);
        if (auto refusal = folderRefusal(damaged.folder)) {
            fail(done, path, std::move(*refusal));
            return true;
        }
        if (options_.dryRun) {
            done.result = RepairResult::wouldRepair;
            done.lines = report::wouldRepairLine(path, copyPath);
            ++counts.wouldRepair;
            return true;
        }
        const auto stop = [this] { return observer_.stopRequested(); };
        const PutBack putting =
            putBack(damaged, bytesOfCopy((*found)->file.get(), (*found)->size, buffer_, stop),
                    buffer_, options_.run.backEnd, stop);
        switch (putting.end) {
        case PutBack::End::stopped:
            return false;
        case PutBack::End::failed:
        case PutBack::End::repairedWithoutKeeping:
            fail(done, path, putting.reason);
            counts.keptDamaged += putting.keptName.empty() ? 0 : 1;
            return true;
        case PutBack::End::repaired:
            done.result = RepairResult::repaired;
            done.lines = report::repairedLine(path, copyPath);
            ++counts.repaired;
            ++counts.keptDamaged;
            return true;
        }
        return true;
    }

    enum class ParityTry
    {
        done,    // repaired, or failed with nothing else to try
        stopped,
        notDone  // no set covers it, or the set could not rebuild it: parityReason_ says why
    };

    // The parity of the damaged file's folder, read once while the walk stays there.
    const FolderParity* parityOf(std::string_view relativeFolder, int folder)
    {
        if (parityFolder_ && *parityFolder_ == relativeFolder) {
            return parity_ ? &*parity_ : nullptr;
        }
        parityFolder_ = std::string(relativeFolder);
        parity_.reset();
        parityError_.clear();
        if (foreignSet_ && foreignSet_->folder == relativeFolder) {
            auto read = FolderParity::foreign(folder, foreignSet_->name);
            if (read) {
                parity_ = std::move(*read);
            } else {
                parityError_ = escapedForReport(*options_.paritySet) + ": " + read.error();
            }
        } else {
            auto read = FolderParity::own(folder);
            if (!read) {
                parityError_ = read.error();
            } else if (*read) {
                parity_ = std::move(**read);
            }
        }
        return parity_ ? &*parity_ : nullptr;
    }

    ParityTry repairFromParity(RepairedEntry& done, const std::string& path,
                               const DamagedFile& damaged, std::string_view relativeFolder)
    {
        const FolderParity* parity = parityOf(relativeFolder, damaged.folder);
        if (!parity) {
            parityReason_ = parityError_.empty() ? std::string(kNoParity)
                                                 : "its parity could not be read: " + parityError_;
            return ParityTry::notDone;
        }
        if (!parity->covers(damaged.name)) {
            parityReason_ = kNotCovered;
            return ParityTry::notDone;
        }
        if (auto refusal = folderRefusal(damaged.folder)) {
            fail(done, path, std::move(*refusal));
            return ParityTry::done;
        }
        const auto stop = [this] { return observer_.stopRequested(); };
        if (options_.dryRun) {
            return dryRunFromParity(done, path, damaged, *parity);
        }
        const PutBack putting =
            putBackFromParity(damaged, *parity, buffer_, options_.run.backEnd, stop);
        switch (putting.end) {
        case PutBack::End::stopped:
            return ParityTry::stopped;
        case PutBack::End::repaired:
            done.result = RepairResult::repaired;
            done.fromParity = true;
            done.lines = report::repairedLine(path, "parity");
            ++counts.repaired;
            ++counts.keptDamaged;
            return ParityTry::done;
        case PutBack::End::repairedWithoutKeeping:
            fail(done, path, putting.reason);
            counts.keptDamaged += putting.keptName.empty() ? 0 : 1;
            return ParityTry::done;
        case PutBack::End::failed:
            break;
        }
        parityReason_ = putting.reason;
        return ParityTry::notDone;
    }

    ParityTry dryRunFromParity(RepairedEntry& done, const std::string& path,
                               const DamagedFile& damaged, const FolderParity& parity)
    {
        const auto stop = [this] { return observer_.stopRequested(); };
        const FileDescriptor scratch(::memfd_create("quelby-rebuild", MFD_CLOEXEC));
        if (!scratch.isOpen()) {
            parityReason_ = std::strerror(errno);
            return ParityTry::notDone;
        }
        if (auto rebuilt = parity.rebuild(damaged.name, scratch.get(), {}, stop); !rebuilt) {
            if (rebuilt.error().empty()) {
                return ParityTry::stopped;
            }
            parityReason_ = rebuilt.error();
            return ParityTry::notDone;
        }
        (void)sys::lseek(scratch.get(), 0, SEEK_SET);
        const auto digest = fileDigest(scratch.get(), buffer_, options_.run.backEnd);
        if (!digest || !*digest || **digest != damaged.digest) {
            parityReason_ = kRebuiltDiffers;
            return ParityTry::notDone;
        }
        done.result = RepairResult::wouldRepair;
        done.fromParity = true;
        done.lines = report::wouldRepairLine(path, "parity");
        ++counts.wouldRepair;
        return ParityTry::done;
    }

    std::string joinedFolder(const std::string& relative) const
    {
        return relative.empty() ? options_.run.folder : joinedPath(options_.run.folder, relative);
    }

    // False when a stop cut it short.
    bool restoreOne(int folder, const std::string& folderPath, const std::string& relativeFolder,
                    const std::string& name, const FolderParity& parity)
    {
        RestoredFile restored;
        restored.path = joinedPath(folderPath, name);
        const std::string path = escapedForReport(restored.path);
        const parity::CoveredRecord* record = parity.record(name);
        auto refuse = [&](std::string reason) {
            restored.reason = std::move(reason);
            restored.lines = report::couldntRestoreLine(path, restored.reason);
            ++counts.restoreFailed;
            observer_.fileRestored(restored);
        };
        if (record == nullptr) {
            refuse(std::string(kNoSha256));
            return true;
        }
        const auto stop = [this] { return observer_.stopRequested(); };
        MissingFile missing;
        missing.folder = folder;
        missing.name = name;
        missing.path = restored.path;
        missing.digest = record->sha256;
        missing.mode = record->mode;
        missing.modified = {static_cast<time_t>(record->modifiedSeconds),
                            static_cast<long>(record->modifiedNanoseconds)};
        missing.evidence = options_.run.evidence.get();
        const WriteBytes fromSet{[&parity, &name, stop](int to) {
                                     return parity.rebuild(name, to, {}, stop);
                                 },
                                 std::string(kRebuiltDiffers)};
        auto done = restoreMissing(missing, fromSet, buffer_, options_.run.backEnd, stop);
        if (!done && done.error().empty()) {
            return false;
        }
        if (!done && !options_.copies.empty()) {
            const std::string relative =
                relativeFolder.empty() ? name : relativeFolder + "/" + name;
            auto found = search_.find(relative, record->sha256,
                                      static_cast<std::int64_t>(record->size));
            counts.copyFilesHashed = search_.filesHashed();
            if (!found) {
                return false;
            }
            if (*found) {
                const WriteBytes fromCopy =
                    bytesOfCopy((*found)->file.get(), (*found)->size, buffer_, stop);
                done = restoreMissing(missing, fromCopy, buffer_, options_.run.backEnd, stop);
                if (!done && done.error().empty()) {
                    return false;
                }
                restored.copy = (*found)->path;
            }
        }
        if (!done) {
            refuse(done.error());
            return true;
        }
        restored.restored = true;
        restored.lines = report::restoredLine(
            path, restored.copy ? escapedForReport(*restored.copy) : std::string("parity"));
        ++counts.restored;
        observer_.fileRestored(restored);
        return true;
    }

public:
    // After the walk: each file a set covers that is gone comes back, from
    // the set, else from a copy by its path.
    void restoreMissingFiles(const FileDescriptor& root)
    {
        std::vector<std::string> folders = foldersWithParity(root, options_.run.folder);
        if (foreignSet_) {
            const std::string foreignFolder = joinedFolder(foreignSet_->folder);
            if (std::ranges::find(folders, foreignFolder) == folders.end()) {
                folders.push_back(foreignFolder);
            }
        }
        for (const std::string& folderPath : folders) {
            if (observer_.stopRequested()) {
                return;
            }
            const std::string relative =
                folderPath == options_.run.folder ? std::string()
                                                  : relativePath(options_.run.folder, folderPath);
            auto folder = openFolderBelow(root.get(), relative);
            if (!folder) {
                continue;
            }
            parityFolder_.reset();
            const FolderParity* parity = parityOf(relative, folder->get());
            if (!parity) {
                continue;
            }
            for (const std::string& name : parity->namesCovered()) {
                if (isManifestName(name) || parity::isParityName(name) ||
                    isRepairTemporaryName(name)) {
                    continue; // Quelby's own files are never made from a set
                }
                const auto present = sys::fstatAt(folder->get(), name, AT_SYMLINK_NOFOLLOW);
                if (present || present.error().code != ENOENT) {
                    continue;
                }
                if (!restoreOne(folder->get(), folderPath, relative, name, *parity)) {
                    return; // stopped
                }
            }
        }
    }

    struct ForeignSet
    {
        std::string folder; // relative to the walk's folder
        std::string name;
    };
    std::optional<ForeignSet> foreignSet_;

private:
    const RepairOptions& options_;
    RepairObserver& observer_;
    CopySearch& search_;
    const ReadBuffer& buffer_;
    int root_;
    std::optional<std::string> parityFolder_;
    std::optional<FolderParity> parity_;
    std::string parityError_;
    std::string parityReason_;
};

} // namespace

std::expected<void, std::string> validateCopies(const std::string& folder,
                                                const std::vector<std::string>& copies)
{
    const auto realFolder = realPath(folder);
    if (!realFolder) {
        return std::unexpected(realFolder.error());
    }
    for (const std::string& copy : copies) {
        const auto realCopy = realPath(copy);
        if (!realCopy) {
            return std::unexpected(realCopy.error());
        }
        if (within(*realCopy, *realFolder)) {
            return std::unexpected(escapedForReport(copy) + ": the copy lies inside " +
                                   escapedForReport(folder));
        }
        if (within(*realFolder, *realCopy)) {
            return std::unexpected(escapedForReport(copy) + ": the copy holds " +
                                   escapedForReport(folder));
        }
    }
    return {};
}

std::expected<void, std::string> validateParitySet(const std::string& folder,
                                                   const std::string& set)
{
    const std::size_t slash = set.rfind('/');
    const std::string setFolder = slash == 0 ? "/" : set.substr(0, slash);
    // A ".." would lead the walk's way down out of the folder.
    const bool climbs = (set + "/").find("/../") != std::string::npos;
    if (slash == std::string::npos || slash + 1 == set.size() || climbs ||
        !within(setFolder, folder)) {
        return std::unexpected(escapedForReport(set) + ": the parity set must lie in " +
                               escapedForReport(folder) + " or a folder below it");
    }
    return {};
}

bool hasParityBelow(const std::string& folder)
{
    const auto opened = sys::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return false;
    }
    const FileDescriptor root(*opened);
    return !foldersWithParity(root, folder).empty();
}

std::expected<RepairState, std::string> repairFolder(const RepairOptions& options,
                                                     RepairObserver& observer, DigestPool* pool)
{
    RunOptions run = options.run;
    run.operation = Operation::check;
    run.details = true;
    std::vector<CopyFolder> copies;
    for (const std::string& copy : options.copies) {
        auto opened = CopyFolder::open(copy);
        if (!opened) {
            return std::unexpected(escapedForReport(copy) + ": " + opened.error().description);
        }
        copies.push_back(std::move(*opened));
    }
    auto buffer = ReadBuffer::allocate(cappedBufferSize(run.realBufferSize, run.jobs));
    if (!buffer) {
        return std::unexpected(buffer.error().description);
    }
    CopySearch search(std::move(copies), *buffer, run.backEnd,
                      [&observer] { return observer.stopRequested(); });
    // The damaged files' folders are reached from this one, never by a path string.
    const auto root = openRunFolder(run);
    Repairer repairer(options, observer, search, *buffer, root ? (*root)->get() : -1);
    if (options.paritySet) {
        const std::size_t slash = options.paritySet->rfind('/');
        const std::string setFolder = slash == 0 ? "/" : options.paritySet->substr(0, slash);
        repairer.foreignSet_ = Repairer::ForeignSet{
            setFolder == run.folder ? std::string() : relativePath(run.folder, setFolder),
            options.paritySet->substr(slash + 1)};
    }
    RepairState state;
    state.run = walkFolder(run, repairer, pool);
    if (options.restoreMissing && !state.run.stopped && root && !options.dryRun) {
        repairer.restoreMissingFiles(**root);
    }
    state.counts = repairer.counts;
    state.run.totalCount -= repairer.cutShort;
    state.counts.copyFilesHashed = search.filesHashed();
    return state;
}

std::string repairSummaryText(const RepairOptions& options, const RepairState& state)
{
    const std::string folder = escapedForReport(options.run.folder);
    if (options.dryRun) {
        return report::dryRunSummary(state.counts.wouldRepair, state.counts.toRepair, folder);
    }
    return report::repairSummary(state.counts.repaired, state.counts.toRepair, folder,
                                 state.counts.keptDamaged);
}

} // namespace quelby
