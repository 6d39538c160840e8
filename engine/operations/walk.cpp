#include "engine/operations/walk.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/parity_format.h"
#include "engine/operations/file_step.h"
#include "engine/operations/visit_driver.h"
#include "engine/platform/disk_kind.h"
#include "engine/platform/sys.h"
#include "engine/store/repair_marks.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/tree/descriptor_budget.h"
#include "engine/tree/folder_stack.h"
#include "engine/tree/listing.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace quelby {

namespace {

class Walker : private OutcomeReceiver
{
public:
    Walker(const RunOptions& options, RunObserver& observer, DigestPool* pool)
        : OutcomeReceiver(observer, state_), options_(options), observer_(observer),
          folders_(options.order == ReadOrder::disk, descriptorBudget(options.jobs).folderLevels),
          visits_(readPlanOf(options), pool, entryVisits(options_, rules_, pseudoFileSystems_),
                  *this)
    {
    }

    RunState run()
    {
        if (auto buffer = visits_.reserveBuffer(); !buffer) {
            unreadableFolder(options_.folder, buffer.error().description);
            return std::move(state_);
        }
        auto folder = openRunFolder(options_);
        if (!folder) {
            unreadableFolder(options_.folder, folder.error().description);
        } else {
            std::shared_ptr<const FileDescriptor> root = std::move(*folder);
            rules_.realFolder = realPathOf(root->get());
            rules_.targetsBeneathFolder = options_.operation != Operation::check;
            walkTree(std::move(root));
            if (!stopped_) {
                handOverGone(nullptr);
            }
            if (stopped_) {
                visits_.stop();
            }
            stopped_ = visits_.finish() || stopped_;
        }
        state_.stopped = stopRequested();
        return std::move(state_);
    }

private:
    // An entry that needs no visit, in its place in walk order.
    void handOver(EntryOutcome outcome) { visits_.add(std::move(outcome)); }

    void deliver(const EntryOutcome& outcome) override
    {
        options_.evidence->apply(outcome);
        state_ += outcome.counts;
        observer_.entryDone(outcome);
        fileDelivered();
    }

    // The files the evidence store lists before path that are gone, each in its place.
    void handOverGone(const std::string* path)
    {
        // Still asked, so that a manifest's entries are passed in order; a run of
        // one file says nothing of the others.
        for (auto goneFiles = options_.evidence->goneBefore(path); !goneFiles.empty();
             goneFiles = options_.evidence->goneBefore(path)) {
            if (options_.onlyFile) {
                continue;
            }
            for (std::string& gone : goneFiles) {
                EntryOutcome outcome;
                outcome.path = std::move(gone);
                outcome.result = FileResult::missing;
                outcome.counts.missingCount = 1;
                const std::string shown = escapedForReport(outcome.path);
                if (options_.operation == Operation::check) {
                    outcome.lines = report::missingLine(shown);
                    outcome.counts.failureCount = 1;
                } else if (options_.dryRun) {
                    outcome.lines = report::wouldDropMissingLine(shown);
                } else {
                    outcome.lines = report::droppedMissingLine(shown);
                }
                handOver(std::move(outcome));
            }
        }
    }

    void unreadableFolder(const std::string& rawPath, const std::string& reason)
    {
        EntryOutcome outcome;
        outcome.path = rawPath;
        outcome.isFolder = true;
        reportUnreadable(options_, outcome, escapedForReport(rawPath), reason);
        handOver(std::move(outcome));
    }

    std::string childPath(std::string_view name) const { return folders_.childPath(name); }

    // Depth first, names in byte order.
    void walkTree(std::shared_ptr<const FileDescriptor> root)
    {
        enter(std::move(root), options_.folder);
        const auto unreachable = [this](const std::string& path, const std::string& reason) {
            unreadableFolder(path, reason);
        };
        while (const auto entry = folders_.next(unreachable)) {
            if (stopRequested()) {
                return;
            }
            visit(entry->folder, entry->name);
        }
    }

    void enter(std::shared_ptr<const FileDescriptor> folder, std::string path)
    {
        options_.evidence->folderEntered(path, folder->get());
        if (const auto entered = folders_.enter(std::move(folder), path); !entered) {
            unreadableFolder(path, entered.error().description);
        }
    }

    // The entry's path below the chosen folder, as exclusion patterns see it.
    std::string relativePath(std::string_view name) const
    {
        return quelby::relativePath(options_.folder, childPath(name));
    }

    // Whether a run of one file needs the entry: the file itself or a folder holding it.
    bool onTheWay(const std::string& relative, bool isFolder) const
    {
        const std::string& only = *options_.onlyFile;
        if (!isFolder) {
            return relative == only;
        }
        return only.size() > relative.size() && only.starts_with(relative) &&
               only[relative.size()] == '/';
    }

    bool onOtherDevice(const FileDescriptor& folder) const
    {
        const auto info = sys::fstat(folder.get());
        return info && info->st_dev != folders_.rootDevice();
    }

    void visit(const std::shared_ptr<const FileDescriptor>& folder, Listing::Name entry)
    {
        const std::string name(entry.name);
        unsigned char type = entryType(*folder, entry);
        if (type != DT_DIR && (isManifestName(name) || parity::isParityName(name))) {
            return; // a manifest or a parity set is evidence, never a file to judge
        }
        // Written into the entry kept for every file: a walk of millions of
        // files allocates no path for each.
        folders_.childPath(name, toVisit_.path);
        const std::string& path = toVisit_.path;
        handOverGone(&path);
        if (options_.onlyFile && !onTheWay(relativePath(name), type == DT_DIR)) {
            return;
        }
        if (!options_.exclusions.empty() &&
            options_.exclusions.excludes(relativePath(name), name, type == DT_DIR)) {
            EntryOutcome outcome;
            outcome.path = path;
            outcome.isFolder = type == DT_DIR;
            outcome.counts.excludedCount = 1;
            handOver(std::move(outcome));
            return;
        }
        if (type == DT_DIR) {
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            auto child = sys::openAt(folder->get(), name, flags);
            if (child) {
                auto opened = std::make_shared<FileDescriptor>(*child);
                if (options_.oneFileSystem && onOtherDevice(*opened)) {
                    EntryOutcome outcome;
                    outcome.path = path;
                    outcome.isFolder = true;
                    outcome.otherDevice = true;
                    outcome.counts.otherDeviceCount = 1;
                    handOver(std::move(outcome));
                    return;
                }
                enter(std::move(opened), path);
                return;
            }
            // A link put in the folder's place since the listing is taken as a link.
            if (child.error().code != ELOOP) {
                unreadableFolder(path, child.error().description);
                return;
            }
            type = DT_LNK;
        }
        if (type != DT_REG && type != DT_LNK) {
            // FIFOs, sockets and devices: no input can be made; never opened.
            EntryOutcome outcome;
            outcome.path = path;
            outcome.counts.totalCount = 1;
            handOver(std::move(outcome));
            return;
        }
        if (isRepairTemporaryName(name)) {
            EntryOutcome outcome;
            outcome.path = path;
            outcome.result = FileResult::leftover;
            outcome.lines = report::leftoverLine(escapedForReport(outcome.path));
            outcome.counts.totalCount = 1;
            outcome.counts.leftoverCount = 1;
            handOver(std::move(outcome));
            return;
        }
        toVisit_.folder = folder;
        toVisit_.name = name;
        toVisit_.listedAsLink = type == DT_LNK;
        toVisit_.evidence = {};
        toVisit_.listedInode = entry.inode;
        toVisit_.besideParitySet = holdsParitySet(folder);
        options_.evidence->lookUp(toVisit_.path, toVisit_.evidence);
        if (observer_.visitsFile(toVisit_)) {
            visits_.visit(toVisit_);
        }
        toVisit_.folder.reset(); // the folder stays open only as long as its visits need it
    }

    // Whether the folder holds a first set, for a run that proves only the
    // files beside one. Asked again whenever the walk comes back to a folder
    // from another: a few times for each folder, not once for each file.
    bool holdsParitySet(const std::shared_ptr<const FileDescriptor>& folder)
    {
        if (options_.proofs != Proofs::besideSets) {
            return false;
        }
        if (setFolder_.owner_before(folder) || folder.owner_before(setFolder_)) {
            setFolder_ = folder;
            const auto set =
                sys::fstatAt(folder->get(), parity::setFileName(1), AT_SYMLINK_NOFOLLOW);
            // Unless it is surely not there, the set's stamps are kept.
            setFolderHoldsSet_ = set || set.error().code != ENOENT;
        }
        return setFolderHoldsSet_;
    }

    const RunOptions& options_;
    RunObserver& observer_;
    RunState state_;
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    // The folder holdsParitySet last asked about; its control block outlives
    // the folder's descriptor, so no other folder can be mistaken for it.
    std::weak_ptr<const FileDescriptor> setFolder_;
    bool setFolderHoldsSet_ = false;
    FolderStack folders_;
    EntryToVisit toVisit_; // the file being handed over
    VisitDriver visits_; // last: it runs visits that refer to the members above
};

} // namespace

RunState walkFolder(const RunOptions& options, RunObserver& observer, DigestPool* pool)
{
    return Walker(options, observer, pool).run();
}

} // namespace quelby
