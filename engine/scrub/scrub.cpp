#include "engine/operations/walk.h"
#include "engine/scrub/scrub.h"

#include "engine/operations/file_step.h"
#include "engine/operations/visit_driver.h"
#include "engine/platform/sys.h"
#include "engine/run/entry_open.h"
#include "engine/evidence/parity_format.h"
#include "engine/operations/parity_refresh.h"
#include "engine/scrub/due_files.h"
#include "engine/scrub/healer.h"
#include "engine/scrub/survey.h"
#include "engine/text/display_text.h"
#include "engine/text/parity_text.h"
#include "engine/tree/open_below.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>

namespace quelby::scrub {

namespace {

class Scrub : private OutcomeReceiver, private ReadsDuringSurvey
{
public:
    Scrub(const ScrubOptions& options, ScrubState& state, Allowance& allowance,
          ScrubObserver& observer, DigestPool* pool)
        : OutcomeReceiver(observer, result_.state), options_(options), run_(options.run),
          state_(state), allowance_(allowance), observer_(observer), pool_(pool)
    {
    }

    std::expected<ScrubResult, std::string> run()
    {
        auto known = state_.knownFilesInOrder(run_.folder);
        if (!known) {
            return std::unexpected(known.error());
        }
        known_ = KnownFileIndex(std::move(*known));
        surveyed_.reserve(known_.size());
        const bool readsDuringSurvey = known_.empty();
        if (readsDuringSurvey) {
            prepareReads();
        }
        Survey survey(options_, known_, surveyed_, observer_, readsDuringSurvey ? this : nullptr);
        if (options_.heal) {
            healer_.emplace(reading_, allowance_, [this] { return observer_.stopRequested(); });
            survey.healer = &*healer_;
        }
        result_.state = walkFolder(readsDuringSurvey ? reading_ : run_, survey,
                                   readsDuringSurvey ? pool_ : nullptr);
        if (healer_) {
            // The walk counted the files healed during the survey as they were found.
            const std::int64_t healed = healer_->healed();
            result_.state.mismatchedCount -= healed;
            result_.state.failureCount -= healed;
            result_.state.damagedCount -= healed;
            result_.state.matchedCount += healed;
        }
        unreadFolders_ = std::move(survey.unreadFolders);
        if (!stateError_.empty()) {
            return std::unexpected(stateError_);
        }
        if (result_.state.stopped || readsDuringSurvey) {
            if (!result_.state.stopped) {
                lookAtSets();
            }
            return finish();
        }
        if (auto noted = noteGone(survey.reportedMissing); !noted) {
            return std::unexpected(noted.error());
        }
        if (auto read = readDueFiles(); !read) {
            return std::unexpected(read.error());
        }
        lookAtSets();
        return finish();
    }

private:
    // Files the state knew that the survey did not meet: gone when their
    // path names nothing. An excluded file, or one in a folder that could
    // not be listed, is still there and stays known.
    std::expected<void, std::string> noteGone(const std::unordered_set<std::string>& missing)
    {
        const auto met = static_cast<std::size_t>(std::ranges::count_if(
            surveyed_, [](const SurveyedFile& file) { return file.known != nullptr; }));
        if (met == known_.size()) {
            return {};
        }
        // In byte order of their paths, as the index keeps them.
        for (KnownFileIndex::Entry& entry : known_.entries()) {
            const std::string& path = entry.path;
            if (entry.met || (!missing.contains(path) && !namesNothing(path))) {
                continue;
            }
            if (!missing.contains(path)) {
                observer_.gone(joinedPath(run_.folder, path));
                ++result_.summary.gone;
            }
            if (auto forgotten = state_.forget(run_.folder, path, options_.now); !forgotten) {
                return forgotten;
            }
            entry.forgotten = true;
        }
        return {};
    }

    // The sets of the folders whose files were read are read too, each
    // packet against its MD5; --heal writes a damaged one anew.
    void lookAtSets()
    {
        const auto root = openRunFolder(run_);
        if (!root) {
            return;
        }
        for (const std::string& relative : foldersRead_) {
            if (observer_.stopRequested()) {
                return;
            }
            const auto folder = openFolderBelow((*root)->get(), relative);
            if (!folder || setCondition(folder->get()) != SetCondition::damaged) {
                continue;
            }
            const std::string folderPath =
                relative.empty() ? run_.folder : joinedPath(run_.folder, relative);
            const std::string setPath = joinedPath(folderPath, parity::setFileName(1));
            const std::string shown = escapedForReport(folderPath);
            if (!options_.heal) {
                observer_.paritySetDamaged(setPath, false, report::parityDamagedLine(shown));
                continue;
            }
            allowance_.start(0);
            const ParitySetOutcome rewritten = rewriteParity(
                (*root)->get(), run_.folder, folderPath, [this] { return observer_.stopRequested(); });
            const bool rebuilt = rewritten.result == ParitySetResult::written;
            observer_.paritySetDamaged(setPath, rebuilt,
                                       rebuilt ? report::parityRebuiltLine(shown)
                                               : report::parityDamagedLine(shown) + rewritten.lines);
        }
    }

    bool namesNothing(const std::string& relativePath) const
    {
        const auto [folder, name] = splitPath(relativePath);
        const auto root = openRunFolder(run_);
        if (!root) {
            return false;
        }
        const auto parent = openFolderBelow((*root)->get(), folder);
        if (!parent) {
            return parent.error().code == ENOENT || parent.error().code == ENOTDIR;
        }
        const auto info = sys::fstatAt(parent->get(), std::string(name), AT_SYMLINK_NOFOLLOW);
        return !info && info.error().code == ENOENT;
    }

    std::expected<void, std::string> readDueFiles()
    {
        const std::vector<std::size_t> order =
            dueOrder(surveyed_, options_.now, options_.everyDays, options_.tagNew);
        result_.summary.due = static_cast<std::int64_t>(order.size());
        observer_.scrubProgress(0, result_.summary.due);
        auto root = openRunFolder(run_);
        if (!root) {
            return {}; // the survey has reported the folder
        }
        root_ = std::move(*root);
        rules_.realFolder = realPathOf(root_->get());
        prepareReads();
        // In disk order each window of due files, taken in order of
        // priority, is read in one sweep of the disk.
        visits_.emplace(readPlanOf(run_), pool_, entryVisits(reading_, rules_, pseudoFileSystems_),
                        static_cast<OutcomeReceiver&>(*this));
        if (auto buffer = visits_->reserveBuffer(); !buffer) {
            return std::unexpected("no memory for the read buffer: " + buffer.error().description);
        }
        for (const std::size_t index : order) {
            if (stopRequested() || allowance_.spent() || !stateError_.empty()) {
                break;
            }
            read(index);
        }
        if (run_.verbose) {
            // Check names every file without a digest; looking costs no read.
            for (std::size_t index = 0; index < surveyed_.size(); ++index) {
                const KnownFile* known = surveyed_[index].known;
                if (stopRequested() || !stateError_.empty()) {
                    break;
                }
                if (known != nullptr && known->result == LastResult::noDigest &&
                    !dueClass(surveyed_[index], options_.now, options_.everyDays, options_.tagNew)) {
                    read(index, false);
                }
            }
        }
        if (stopped_) {
            visits_->stop();
        }
        stopped_ = visits_->finish() || stopped_;
        visits_.reset();
        if (!stateError_.empty()) {
            return std::unexpected(stateError_);
        }
        return {};
    }

    // A Check that reads only files with a digest.
    void prepareReads()
    {
        reading_ = run_;
        reading_.readsUntagged = false;
        reading_.tagsNew = options_.tagNew;
        // Healing needs each damaged file's stored values and verdict.
        reading_.details = reading_.details || options_.heal;
    }

    // ReadsDuringSurvey: the survey's walk reads the file while the allowance lasts.
    bool startsRead(std::size_t index, const EntryToVisit& entry) override
    {
        if (stopRequested() || allowance_.spent() || !stateError_.empty()) {
            return false;
        }
        SurveyedFile& file = surveyed_[index];
        if (allowance_.countsBytes()) {
            const int flags = file.listedAsLink ? 0 : AT_SYMLINK_NOFOLLOW;
            if (const auto info = sys::fstatAt(entry.folder->get(), entry.name, flags)) {
                file.size = info->st_size;
            }
        }
        allowance_.start(file.size);
        pending_.push_back(index);
        ++result_.summary.due;
        return true;
    }

    void delivered(const EntryOutcome& outcome) override
    {
        learnIfRead(outcome);
        observer_.scrubProgress(result_.summary.verified, result_.summary.due);
    }

    void read(std::size_t index, bool fromAllowance = true)
    {
        SurveyedFile& file = surveyed_[index];
        const auto [folder, name] = splitPath(file.relativePath);
        EntryToVisit entry{nullptr, std::string(name), joinedPath(run_.folder, file.relativePath),
                           file.listedAsLink, file.evidence ? *file.evidence : EvidenceSlot{}};
        if (!openedFolder_ || openedFolderPath_ != folder) {
            auto opened = openFolderBelow(root_->get(), folder);
            if (!opened) {
                EntryOutcome outcome;
                outcome.path = entry.path;
                outcome.counts.totalCount = 1;
                reportUnreadable(reading_, outcome, escapedForReport(entry.path),
                                 opened.error().description);
                deliverOrQueue(std::move(outcome), index);
                return;
            }
            openedFolder_ = std::make_shared<FileDescriptor>(std::move(*opened));
            openedFolderPath_ = folder;
        }
        entry.folder = openedFolder_;
        if (file.size < 0 && allowance_.countsBytes()) {
            // A file new to the state was not looked at by the survey.
            const int flags = file.listedAsLink ? 0 : AT_SYMLINK_NOFOLLOW;
            if (const auto info = sys::fstatAt(openedFolder_->get(), entry.name, flags)) {
                file.size = info->st_size;
            }
        }
        if (fromAllowance) {
            allowance_.start(file.size);
        }
        pending_.push_back(index);
        visits_->visit(std::move(entry));
    }

    void deliverOrQueue(EntryOutcome outcome, std::size_t index)
    {
        pending_.push_back(index);
        visits_->add(std::move(outcome));
    }

    void deliver(const EntryOutcome& given) override
    {
        std::optional<EntryOutcome> healed;
        if (healer_ && given.result == FileResult::differs) {
            healed = given;
            if (!healer_->heal(*healed)) {
                healed.reset();
            }
        }
        const EntryOutcome& outcome = healed ? *healed : given;
        result_.state += outcome.counts;
        observer_.entryDone(outcome);
        learnIfRead(outcome);
        observer_.scrubProgress(result_.summary.verified, result_.summary.due);
        fileDelivered();
    }

    // Outcomes come in the order the reads were handed over, among the
    // walk's other entries; a read a stop cut short has none.
    void learnIfRead(const EntryOutcome& outcome)
    {
        const std::size_t folderPrefix = run_.folder.size() + (run_.folder == "/" ? 0 : 1);
        const auto read = std::ranges::find_if(pending_, [&](std::size_t index) {
            const std::string& relative = surveyed_[index].relativePath;
            return outcome.path.size() == folderPrefix + relative.size() &&
                   outcome.path.ends_with(relative);
        });
        if (read == pending_.end()) {
            return;
        }
        const std::size_t index = *read;
        pending_.erase(pending_.begin(), read + 1);
        learn(surveyed_[index], outcome);
    }

    // What a read found, into the state.
    void learn(SurveyedFile& file, const EntryOutcome& outcome)
    {
        if (const std::string_view folder = splitPath(file.relativePath).folder;
            foldersRead_.empty() || folder != lastFolderRead_) {
            lastFolderRead_ = *foldersRead_.insert(std::string(folder)).first;
        }
        const KnownFile* last = file.current();
        const std::optional<KnownFile> before =
            last != nullptr ? std::optional(*last) : std::nullopt;
        KnownFile now;
        if (outcome.opened) {
            now.size = outcome.opened->st_size;
            now.modifiedNs = nanoseconds(outcome.opened->st_mtim);
            now.changedNs = nanoseconds(outcome.opened->st_ctim);
        } else {
            now.size = file.size;
            now.modifiedNs = file.modifiedNs;
            now.changedNs = file.changedNs;
        }
        now.verifiedAt = before ? before->verifiedAt : std::nullopt;
        // A healed file holds the bytes its digest vouches for, as one that matched.
        switch (outcome.result == FileResult::healed ? FileResult::matched : outcome.result) {
        case FileResult::matched:
            now.result = LastResult::matched;
            now.verifiedAt = options_.now;
            ++result_.summary.verified;
            break;
        case FileResult::differs:
            now.result = LastResult::differs;
            now.verdict = outcome.verdict;
            now.verifiedAt = options_.now;
            ++result_.summary.verified;
            break;
        case FileResult::readFailed:
            now.result = LastResult::readFailed;
            break;
        case FileResult::noDigest:
            now.result = LastResult::noDigest;
            break;
        case FileResult::tagged: // a new file, its digest made from these very bytes
            now.result = LastResult::matched;
            now.verifiedAt = options_.now;
            ++result_.summary.newTagged;
            break;
        case FileResult::damagedCopy:
            now.result = LastResult::damagedCopy;
            now.verifiedAt = std::nullopt;
            break;
        default:
            return; // a leftover: looked at again next time
        }
        if (isProblem(now.result)) {
            const bool wasOpen = before && isProblem(before->result);
            now.problemSince = wasOpen ? before->problemSince : options_.now;
            if (!wasOpen) {
                ++result_.summary.newProblems;
            }
        }
        if (file.known != nullptr) {
            *file.known = now;
        } else {
            file.learned = now;
        }
        if (auto recorded = state_.record(run_.folder, file.relativePath, now, options_.now);
            !recorded) {
            stateError_ = recorded.error();
        }
    }

    // Files met for the first time and not read keep their place in the
    // state, so that their disappearance is noticed; figures for the summary.
    std::expected<ScrubResult, std::string> finish()
    {
        FolderSummary& summary = result_.summary;
        summary.folder = run_.folder;
        summary.everyDays = options_.everyDays;
        summary.problems = result_.state.failureCount;
        summary.bytesRead = result_.state.bytesRead;
        std::int64_t inPeriod = 0;
        for (SurveyedFile& file : surveyed_) {
            if (file.current() == nullptr) {
                KnownFile& seen = file.learned.emplace();
                seen.size = file.size;
                seen.modifiedNs = file.modifiedNs;
                seen.changedNs = file.changedNs;
                if (auto recorded =
                        state_.record(run_.folder, file.relativePath, seen, options_.now);
                    !recorded) {
                    return std::unexpected(recorded.error());
                }
            }
            const KnownFile& known = *file.current();
            if (count(known) && verifiedWithin(known.verifiedAt, options_.now, options_.everyDays)) {
                ++inPeriod;
            }
        }
        countBelowUnreadFolders();
        summary.verifiedInPeriod = inPeriod;
        summary.percent = summary.files == 0 ? 100 : inPeriod * 100 / summary.files;
        result_.state.stopped = result_.state.stopped || stopped_;
        if (auto committed = state_.commit(); !committed) {
            return std::unexpected(committed.error());
        }
        return std::move(result_);
    }

    // Counts a file in N and in its share of it; false for one N leaves out.
    bool count(const KnownFile& known)
    {
        FolderSummary& summary = result_.summary;
        if (known.result == LastResult::damagedCopy) {
            return false;
        }
        ++summary.files;
        ++(known.result == LastResult::noDigest ? summary.noDigest : summary.withDigest);
        if (isProblem(known.result)) {
            ++summary.openProblems;
        }
        return true;
    }

    // The files the state knows below a folder that could not be opened are
    // still there as far as anyone can tell: counted, but not as verified.
    void countBelowUnreadFolders()
    {
        if (unreadFolders_.empty()) {
            return;
        }
        for (const KnownFileIndex::Entry& entry : known_.entries()) {
            const std::string& path = entry.path;
            const bool below = std::ranges::any_of(unreadFolders_, [&](const std::string& folder) {
                return folder.empty() || (path.size() > folder.size() && path.starts_with(folder) &&
                                          path[folder.size()] == '/');
            });
            if (below && !entry.met && !entry.forgotten) {
                count(entry.file);
            }
        }
    }

    const ScrubOptions& options_;
    const RunOptions& run_;
    ScrubState& state_;
    Allowance& allowance_;
    ScrubObserver& observer_;
    DigestPool* pool_;
    KnownFileIndex known_;
    std::vector<SurveyedFile> surveyed_;
    ScrubResult result_;

    RunOptions reading_;
    std::optional<Healer> healer_; // with --heal
    std::set<std::string> foldersRead_; // relative, "" for the folder itself
    std::string_view lastFolderRead_;   // in foldersRead_
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    std::shared_ptr<const FileDescriptor> root_;
    std::optional<VisitDriver> visits_; // while the due files are read
    std::shared_ptr<const FileDescriptor> openedFolder_;
    std::string openedFolderPath_;
    std::deque<std::size_t> pending_; // reads handed over, not yet delivered
    std::vector<std::string> unreadFolders_;
    std::string stateError_;
};

} // namespace

std::expected<ScrubResult, std::string> scrubFolder(const ScrubOptions& options, ScrubState& state,
                                                    Allowance& allowance, ScrubObserver& observer,
                                                    DigestPool* pool)
{
    return Scrub(options, state, allowance, observer, pool).run();
}

} // namespace quelby::scrub
