#include "engine/operations/parity_refresh.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/parity_reader.h"
#include "engine/evidence/parity_writer.h"
#include "engine/evidence/writer_lock.h"
#include "engine/platform/sys.h"
#include "engine/store/file_names.h"
#include "engine/text/display_text.h"
#include "engine/text/parity_text.h"
#include "engine/tree/listing.h"
#include "engine/tree/open_below.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>

namespace quelby {

namespace {

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

std::string newSuffix()
{
    static std::mt19937_64 random{std::random_device{}()};
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08llx",
                  static_cast<unsigned long long>(random() & 0xffffffffULL));
    return std::string(kParityNewInfix) + digits;
}

// What the set records of a file, the stamp aside: a Tag with times stamps
// every file anew, which changes nothing the set protects.
bool sameCoverage(const std::vector<parity::CoveredRecord>& old,
                  const std::vector<parity::FileToCover>& now)
{
    if (old.size() != now.size()) {
        return false;
    }
    for (std::size_t i = 0; i < old.size(); ++i) {
        const parity::CoveredRecord& a = old[i];
        const parity::CoveredRecord& b = now[i].record;
        if (a.name != b.name || a.size != b.size || a.sha256 != b.sha256 ||
            a.modifiedSeconds != b.modifiedSeconds ||
            a.modifiedNanoseconds != b.modifiedNanoseconds || a.mode != b.mode) {
            return false;
        }
    }
    return true;
}

// The sets of one folder, brought up to date under its writer lock.
class FolderRefresh
{
public:
    FolderRefresh(const std::string& path, const ParityCollector::Folder& proven,
                  const ParityRequest& request, const std::function<bool()>& stop,
                  std::vector<ParitySetOutcome>& outcomes)
        : path_(path), proven_(proven), request_(request), stop_(stop), outcomes_(outcomes),
          firstSet_(joinedPath(path, parity::setFileName(1)))
    {
    }

    // Every set written anew, whatever the old one covers.
    bool rewrite = false;

    void run(int root, const std::string& runFolder)
    {
        const std::string relative = path_ == runFolder ? std::string() : relativePath(runFolder, path_);
        auto folder = openFolderBelow(root, relative);
        if (!folder) {
            return fail(firstSet_, folder.error().description);
        }
        folder_ = std::move(*folder);
        if (!findSets()) {
            return;
        }
        const bool hasSet = std::ranges::find(sets_, parity::setFileName(1)) != sets_.end();
        if ((request_.mode == ParityRequest::Mode::refresh && !hasSet) ||
            (request_.mode == ParityRequest::Mode::off && sets_.empty())) {
            return;
        }
        if (!trusted()) {
            return;
        }
        auto lock = lockEvidenceWriters(folder_.get(), path_, escapedForReport(firstSet_),
                                        "the parity", nullptr);
        if (!lock) {
            return fail(firstSet_, lock.error());
        }
        removeLeftovers();
        if (request_.mode == ParityRequest::Mode::off) {
            return removeSets(0);
        }
        if (proven_.damaged && hasSet) {
            ParitySetOutcome left{firstSet_, ParitySetResult::left, *proven_.damaged, {}, {}};
            left.lines = report::parityLeftLine(escapedForReport(path_),
                                                escapedForReport(*proven_.damaged));
            outcomes_.push_back(std::move(left));
            return;
        }
        std::optional<parity::ParitySet> old;
        if (hasSet) {
            old = readOldSet();
        }
        unsigned percent = request_.percent;
        if (request_.mode == ParityRequest::Mode::refresh) {
            if (!old || old->percent == 0) {
                return; // a set Quelby did not write, or cannot read: left alone
            }
            percent = old->percent;
        }
        openFiles();
        if (files_.empty()) {
            return removeSets(0);
        }
        const auto plans = parity::planSets(sizes(), percent);
        if (!rewrite && old && old->percent == percent && sameCoverage(old->covered, files_) &&
            plans.size() == sets_.size() && old->recovery.size() == plans.front().recoveryCount) {
            for (const std::string& name : sets_) {
                outcomes_.push_back({joinedPath(path_, name), ParitySetResult::kept, {}, {}, {}});
            }
            return;
        }
        writeSets(plans, percent);
    }

private:
    void fail(const std::string& set, const std::string& reason)
    {
        outcomes_.push_back({set, ParitySetResult::failed, {}, reason,
                             report::parityFailedLine(escapedForReport(set), reason)});
    }

    // The folder's sets, in their numbers' order, and a killed writer's new files.
    bool findSets()
    {
        const auto listing = Listing::of(folder_);
        if (!listing) {
            fail(firstSet_, listing.error().description);
            return false;
        }
        for (std::size_t index = 0; index < listing->size(); ++index) {
            const std::string name((*listing)[index].name);
            if (!parity::isParityName(name)) {
                continue;
            }
            if (name.find(kParityNewInfix) != std::string::npos) {
                leftovers_.push_back(name);
            } else {
                sets_.push_back(name);
            }
        }
        std::vector<std::string> numbered;
        for (int number = 1; number <= static_cast<int>(sets_.size()) + 1; ++number) {
            const std::string name = parity::setFileName(number);
            if (std::ranges::find(sets_, name) != sets_.end()) {
                numbered.push_back(name);
            }
        }
        sets_ = std::move(numbered); // other names shaped like a set are not ours to touch
        return true;
    }

    // A set that is a link, no regular file or another user's is passed over:
    // never read, written, renamed over or removed.
    bool trusted()
    {
        const auto folderInfo = sys::fstat(folder_.get());
        if (!folderInfo) {
            fail(firstSet_, folderInfo.error().description);
            return false;
        }
        folderInfo_ = *folderInfo;
        for (const std::string& name : sets_) {
            const auto info = sys::fstatAt(folder_.get(), name, AT_SYMLINK_NOFOLLOW);
            if (!info) {
                fail(joinedPath(path_, name), info.error().description);
                return false;
            }
            if (!S_ISREG(info->st_mode)) {
                fail(joinedPath(path_, name), "it is not a regular file");
                return false;
            }
            if (!trustedEvidenceFile(*info, *folderInfo)) {
                fail(joinedPath(path_, name), "it belongs to another user");
                return false;
            }
            if (name == parity::setFileName(1)) {
                oldInfo_ = *info;
            }
        }
        return true;
    }

    void removeLeftovers()
    {
        for (const std::string& name : leftovers_) {
            const auto info = sys::fstatAt(folder_.get(), name, AT_SYMLINK_NOFOLLOW);
            if (info && trustedEvidenceFile(*info, folderInfo_)) {
                (void)sys::unlinkAt(folder_.get(), name, 0);
            }
        }
    }

    // Removes the sets numbered above keep; counted only when all go.
    void removeSets(std::size_t keep)
    {
        for (std::size_t index = keep; index < sets_.size(); ++index) {
            const std::string set = joinedPath(path_, sets_[index]);
            if (auto removed = sys::unlinkAt(folder_.get(), sets_[index], 0); !removed) {
                fail(set, removed.error().description);
            } else if (keep == 0) {
                outcomes_.push_back({set, ParitySetResult::removed, {}, {}, {}});
            }
        }
        (void)sys::fsync(folder_.get());
    }

    std::optional<parity::ParitySet> readOldSet()
    {
        auto opened = sys::openAt(folder_.get(), parity::setFileName(1), kReadFlags);
        if (!opened) {
            return std::nullopt;
        }
        const FileDescriptor file(*opened);
        const int parts[] = {file.get()};
        auto set = parity::readSet(parts);
        if (!set || !set->writtenByQuelby) {
            return std::nullopt;
        }
        return std::move(*set);
    }

    // The proven files that are still the files the walk read; the writer
    // opens each again by its name as it reads it, and proves its bytes.
    void openFiles()
    {
        for (const ParityCollector::Proven& proven : proven_.files) {
            auto opened = sys::openAt(folder_.get(), proven.name, kReadFlags);
            if (!opened) {
                continue;
            }
            FileDescriptor file(*opened);
            const auto info = sys::fstat(file.get());
            if (!info || !S_ISREG(info->st_mode) || info->st_dev != proven.device ||
                info->st_ino != proven.inode) {
                continue;
            }
            parity::FileToCover cover;
            cover.folder = folder_.get();
            cover.record.name = proven.name;
            cover.record.size = static_cast<std::uint64_t>(info->st_size);
            cover.record.sha256 = proven.digest;
            cover.record.stamp = proven.stamp;
            cover.record.modifiedSeconds = info->st_mtim.tv_sec;
            cover.record.modifiedNanoseconds = static_cast<std::uint32_t>(info->st_mtim.tv_nsec);
            cover.record.mode = info->st_mode & 07777;
            files_.push_back(std::move(cover));
        }
    }

    std::vector<std::uint64_t> sizes() const
    {
        std::vector<std::uint64_t> list;
        for (const parity::FileToCover& file : files_) {
            list.push_back(file.record.size);
        }
        return list;
    }

    void writeSets(const std::vector<parity::SetPlan>& plans, unsigned percent)
    {
        for (std::size_t index = 0; index < plans.size(); ++index) {
            const std::string name = parity::setFileName(static_cast<int>(index) + 1);
            if (!writeOne(name, plans[index], percent)) {
                return; // the sets not yet written stay as they were
            }
        }
        removeSets(plans.size());
    }

    bool writeOne(const std::string& name, const parity::SetPlan& plan, unsigned percent)
    {
        const std::string set = joinedPath(path_, name);
        const std::string newName = name + newSuffix();
        const mode_t mode = oldInfo_ ? (oldInfo_->st_mode & 07777) : 0644;
        auto created = sys::createAt(folder_.get(), newName,
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (!created) {
            fail(set, created.error().description);
            return false;
        }
        FileDescriptor out(*created);
        if (oldInfo_) {
            // A rewritten set keeps its owner, group and mode, as a manifest does.
            (void)sys::fchown(out.get(), oldInfo_->st_uid, oldInfo_->st_gid);
            (void)sys::fchmod(out.get(), mode);
        }
        auto written = parity::writeSet(out.get(), plan, files_, percent, stop_);
        std::string reason;
        if (!written) {
            reason = written.error().fileName.empty()
                         ? written.error().reason
                         : escapedForReport(joinedPath(path_, written.error().fileName)) + ": " +
                               written.error().reason;
        } else if (auto synced = sys::fsync(out.get()); !synced) {
            reason = synced.error().description;
        } else if (auto renamed = sys::renameAt2(folder_.get(), newName, folder_.get(), name, 0);
                   !renamed) {
            reason = renamed.error().description;
        }
        if (!written || !reason.empty()) {
            (void)sys::unlinkAt(folder_.get(), newName, 0);
            if (written || !written.error().reason.empty()) {
                fail(set, reason);
            }
            return false;
        }
        (void)sys::fsync(folder_.get());
        outcomes_.push_back({set, ParitySetResult::written, {}, {}, {}});
        return true;
    }

    const std::string& path_;
    const ParityCollector::Folder& proven_;
    const ParityRequest& request_;
    const std::function<bool()>& stop_;
    std::vector<ParitySetOutcome>& outcomes_;
    const std::string firstSet_;
    FileDescriptor folder_;
    struct stat folderInfo_ = {};
    std::optional<struct stat> oldInfo_;
    std::vector<std::string> sets_;
    std::vector<std::string> leftovers_;
    std::vector<parity::FileToCover> files_;
};

} // namespace

void ParityCollector::entryDone(const EntryOutcome& outcome)
{
    inner_.entryDone(outcome);
    if (outcome.isFolder || outcome.throughLink) {
        return;
    }
    const bool proven = outcome.result == FileResult::tagged ||
                        outcome.result == FileResult::retagged ||
                        outcome.result == FileResult::matched;
    if (proven && !outcome.computed) {
        return; // nothing the sets need: a folder without a set keeps having none
    }
    const std::string folder = folderOf(outcome.path);
    switch (outcome.result) {
    case FileResult::kept:
        if (!folders_[folder].damaged) {
            folders_[folder].damaged = outcome.path;
        }
        return;
    case FileResult::tagged:
    case FileResult::retagged:
    case FileResult::matched:
        // The file read is the one opened: its device and inode are those it was opened with.
        if (outcome.computed && outcome.opened && S_ISREG(outcome.opened->st_mode)) {
            folders_[folder].files.push_back({outcome.path.substr(outcome.path.rfind('/') + 1),
                                              *outcome.computed, outcome.opened->st_dev,
                                              outcome.opened->st_ino, outcome.stamp});
        }
        return;
    default:
        folders_.try_emplace(folder); // a folder with files, though none proven
        return;
    }
}

Proofs proofsFor(const ParityRequest& request)
{
    switch (request.mode) {
    case ParityRequest::Mode::refresh:
        return Proofs::besideSets; // a folder without a set keeps having none
    case ParityRequest::Mode::percent:
        return Proofs::everywhere;
    case ParityRequest::Mode::off:
        return Proofs::withoutStamps;
    }
    return Proofs::everywhere;
}

std::vector<ParitySetOutcome> refreshParity(const RunOptions& run, const ParityRequest& request,
                                            const ParityCollector& collector,
                                            const std::function<bool()>& stop)
{
    std::vector<ParitySetOutcome> outcomes;
    if (run.onlyFile) {
        return outcomes; // a run of one file knows too little of its folder
    }
    const auto root = openRunFolder(run);
    if (!root) {
        return outcomes;
    }
    for (const auto& [path, proven] : collector.folders()) {
        if (stop()) {
            break;
        }
        FolderRefresh(path, proven, request, stop, outcomes).run((*root)->get(), run.folder);
    }
    return outcomes;
}

SetCondition setCondition(int folder)
{
    const auto folderInfo = sys::fstat(folder);
    auto opened = sys::openAt(folder, parity::setFileName(1), kReadFlags);
    if (!opened || !folderInfo) {
        return SetCondition::none;
    }
    const FileDescriptor file(*opened);
    const auto info = sys::fstat(file.get());
    if (!info || !S_ISREG(info->st_mode) || !trustedEvidenceFile(*info, *folderInfo)) {
        return SetCondition::none;
    }
    const int parts[] = {file.get()};
    const auto set = parity::readSet(parts);
    if (!set || !set->writtenByQuelby || set->skippedPackets > 0 || set->percent == 0) {
        return SetCondition::damaged;
    }
    std::vector<std::uint64_t> sizes;
    for (const parity::CoveredRecord& record : set->covered) {
        sizes.push_back(record.size);
    }
    const auto plans = parity::planSets(sizes, set->percent);
    // Empty files ride in Quelby's packet only, not among the set's input files.
    const auto inputFiles = plans.empty() ? 0
                                          : std::ranges::count_if(plans.front().files,
                                                                  [&sizes](std::size_t index) {
                                                                      return sizes[index] > 0;
                                                                  });
    const bool whole = !plans.empty() && set->recovery.size() >= plans.front().recoveryCount &&
                       set->files.size() == static_cast<std::size_t>(inputFiles);
    return whole ? SetCondition::intact : SetCondition::damaged;
}

ParitySetOutcome rewriteParity(int root, const std::string& runFolder,
                               const std::string& folderPath, const std::function<bool()>& stop)
{
    const std::string firstSet = joinedPath(folderPath, parity::setFileName(1));
    ParitySetOutcome failed{firstSet, ParitySetResult::failed, {}, {}, {}};
    const std::string relative =
        folderPath == runFolder ? std::string() : relativePath(runFolder, folderPath);
    auto folder = openFolderBelow(root, relative);
    if (!folder) {
        failed.reason = folder.error().description;
        return failed;
    }
    auto opened = sys::openAt(folder->get(), parity::setFileName(1), kReadFlags);
    std::optional<parity::ParitySet> old;
    if (opened) {
        const FileDescriptor file(*opened);
        const int parts[] = {file.get()};
        if (auto set = parity::readSet(parts); set && set->writtenByQuelby && set->percent > 0) {
            old = std::move(*set);
        }
    }
    if (!old) {
        failed.reason = "what the set covered cannot be read from it";
        failed.lines = report::parityFailedLine(escapedForReport(firstSet), failed.reason);
        return failed;
    }
    // The files it records, each to be proven against the digest recorded.
    ParityCollector::Folder proven;
    for (const parity::CoveredRecord& record : old->covered) {
        const auto info = sys::fstatAt(folder->get(), record.name, AT_SYMLINK_NOFOLLOW);
        if (info && S_ISREG(info->st_mode)) {
            proven.files.push_back(
                {record.name, record.sha256, info->st_dev, info->st_ino, record.stamp});
        }
    }
    std::vector<ParitySetOutcome> outcomes;
    const ParityRequest request{ParityRequest::Mode::percent, old->percent};
    FolderRefresh refresh(folderPath, proven, request, stop, outcomes);
    refresh.rewrite = true;
    refresh.run(root, runFolder);
    for (ParitySetOutcome& outcome : outcomes) {
        if (outcome.result == ParitySetResult::failed) {
            return outcome;
        }
    }
    return outcomes.empty() ? failed : outcomes.front();
}

std::string_view paritySetResultName(ParitySetResult result)
{
    switch (result) {
    case ParitySetResult::written:
        return "written";
    case ParitySetResult::kept:
        return "kept";
    case ParitySetResult::left:
        return "left";
    case ParitySetResult::removed:
        return "removed";
    case ParitySetResult::failed:
        return "failed";
    }
    return {};
}

} // namespace quelby
