#include "engine/transfer/import.h"

#include "engine/operations/visit_driver.h"
#include "engine/platform/sys.h"
#include "engine/run/entry_open.h"
#include "engine/run/run.h"
#include "engine/transfer/import_judge.h"
#include "engine/transfer/import_list.h"
#include "engine/transfer/import_reach.h"

#include <deque>
#include <fcntl.h>
#include <utility>
#include <vector>

namespace quelby {

namespace {

// The import's observer, as the driver of visits follows a run.
class ImportProgress : public RunObserver
{
public:
    explicit ImportProgress(ImportObserver& observer) : observer_(observer) {}
    void progress(const RunProgress& progress) override { observer_.bytesRead(progress.bytesDone); }
    bool stopRequested() override { return observer_.stopRequested(); }

private:
    ImportObserver& observer_;
};

// The files are read by the driver of visits, which gives them back in walk
// order; each is then judged on this thread, where the evidence store is
// merged in one pass. With one job in name order a file is read just before
// it is judged; in disk order a window of files is read first.
class Importer : private OutcomeReceiver
{
public:
    Importer(const ImportOptions& options, ImportObserver& observer, ImportState& state)
        : OutcomeReceiver(progress_, counts_), options_(options), observer_(observer),
          state_(state), progress_(observer), judge_(options, observer, state, counts_.bytesRead)
    {
    }

    void run(std::string_view listText)
    {
        files_ = listedFiles(listText, options_, observer_, state_);
        // One file at a time: the evidence store is merged on this thread.
        const ReadPlan plan = readPlan(1, options_.order, options_.bufferSize);
        if (!judge_.prepare(files_, plan.bufferSize)) {
            return;
        }
        VisitDriver visits(
            plan, nullptr,
            [this](const EntryToVisit& entry, const std::expected<ReadBuffer, PosixError>& buffer,
                   VisitTurn& turn,
                   EntryOutcome& outcome) { return readAhead(entry, buffer, turn, outcome); },
            *this);
        for (std::size_t first = 0; first < files_.size(); first = groupEnd(files_, first)) {
            if (judgingEnded_ || visits.stopped() || stopRequested()) {
                visits.stop();
                break;
            }
            handOver(first, visits);
        }
        if (visits.finish()) {
            state_.stopped = true;
        }
        if (auto kept = options_.evidence->finish(); !kept) {
            state_.finishError = kept.error();
        }
    }

private:
    // The group of lines that list one file, to the driver: a visit when the
    // file's folder can be reached, else an entry judged as it is found.
    void handOver(std::size_t first, VisitDriver& visits)
    {
        const std::string& key = files_[first].key;
        pending_.push_back(first);
        EntryToVisit entry{nullptr, {}, absolutePath(options_.folder, key), false, {}};
        if (!key.empty()) {
            const std::size_t slash = key.rfind('/');
            const std::string folderKey = slash == std::string::npos ? "" : key.substr(0, slash);
            entry.name = slash == std::string::npos ? key : key.substr(slash + 1);
            if (!folder_ || folderKey != folderKey_) {
                // Walk order lists a folder's files one after another until a
                // subfolder comes between: they share the folder's descriptor.
                auto reached = reachFolder(judge_.root(), folderKey);
                folder_ = reached ? *reached : nullptr;
                folderKey_ = folderKey;
            }
            if (folder_) {
                if (const auto info =
                        sys::fstatAt(folder_->get(), entry.name, AT_SYMLINK_NOFOLLOW)) {
                    entry.folder = folder_;
                    entry.listedAsLink = S_ISLNK(info->st_mode);
                    entry.listedInode = info->st_ino;
                    visits.visit(std::move(entry));
                    return;
                }
            }
        }
        // Why it cannot be read is found out when it is judged.
        EntryOutcome unread;
        unread.path = std::move(entry.path);
        visits.add(std::move(unread));
    }

    // The visit the driver runs: the file's contents digested, with the
    // state it was opened in. Whatever it finds is only kept for the
    // judgement, which reaches the file again unless it is still open. An
    // import's visits all run on its own thread: it hands the driver no pool.
    bool readAhead(const EntryToVisit& entry, const std::expected<ReadBuffer, PosixError>& buffer,
                   VisitTurn& turn, EntryOutcome& outcome)
    {
        outcome.path = entry.path;
        OpenedEntry opened = openEntry(entry, judge_.rules(), judge_.pseudoFileSystems());
        if (opened.kind != OpenedEntry::Kind::file || !buffer) {
            return true; // the judgement finds out why, or reads with its own buffer
        }
        // Whether another name of the file came first matters not: the
        // judgement compares the file's state with the one read.
        (void)turn.opened(opened.info);
        const DigestResult digest =
            fileDigestFrom(opened.file.get(), opened.info, *buffer, options_.backEnd,
                           [&outcome, &turn, &entry](std::size_t count) {
                               outcome.counts.bytesRead += static_cast<std::int64_t>(count);
                               turn.bytesRead(count, entry.path);
                               return !turn.stopRequested();
                           });
        if (!digest && turn.stopRequested()) {
            return false; // a file stopped part-way is not kept
        }
        outcome.opened = opened.info;
        if (!digest) {
            outcome.result = FileResult::readFailed;
            outcome.error = digest.error().description;
        } else {
            outcome.computed = *digest;
        }
        if (options_.order == ReadOrder::name) {
            // Judged next: one descriptor is kept, never a window of them.
            stillOpen_.emplace(entry.path, std::move(opened));
        }
        return true;
    }

    // Each group in walk order. After a stop, the files already read are
    // still judged, up to the first that was not.
    void deliver(const EntryOutcome& outcome) override
    {
        counts_.bytesRead += outcome.counts.bytesRead;
        std::optional<std::pair<std::string, OpenedEntry>> stillOpen = std::move(stillOpen_);
        stillOpen_.reset();
        if (!pending_.empty() &&
            absolutePath(options_.folder, files_[pending_.front()].key) != outcome.path) {
            judgingEnded_ = true; // a visit before this one was cut short by a stop
        }
        if (judgingEnded_ || pending_.empty()) {
            return;
        }
        const std::size_t first = pending_.front();
        pending_.pop_front();
        if (!outcome.opened && stopRequested()) {
            judgingEnded_ = true;
            state_.stopped = true;
            return;
        }
        std::optional<ReadAhead> read;
        if (outcome.opened) {
            read.emplace();
            read->opened = *outcome.opened;
            read->digest = outcome.computed;
            if (outcome.result == FileResult::readFailed) {
                read->failure = outcome.error;
            }
            read->bytes = outcome.counts.bytesRead;
            if (stillOpen && stillOpen->first == outcome.path) {
                read->stillOpen = std::move(stillOpen->second);
            }
        }
        if (!judge_.judgeGroup(files_, first, read ? &*read : nullptr)) {
            judgingEnded_ = true;
        }
        fileDelivered();
    }

    const ImportOptions& options_;
    ImportObserver& observer_;
    ImportState& state_;
    ImportProgress progress_;
    RunCounts counts_; // for progress: every byte read, read ahead or not
    std::vector<ListedFile> files_;
    ImportJudge judge_;
    // The folder of the files last handed over, kept open for their visits.
    std::shared_ptr<const FileDescriptor> folder_;
    std::string folderKey_;
    std::deque<std::size_t> pending_; // groups handed over, not yet judged
    // Name order: the file just read, by its path, until it is judged.
    std::optional<std::pair<std::string, OpenedEntry>> stillOpen_;
    bool judgingEnded_ = false; // by a stop: nothing after is judged
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
