#include "engine/operations/walk.h"
#include "engine/repair/repair.h"

#include "engine/repair/copy_search.h"
#include "engine/repair/put_back.h"
#include "engine/text/display_text.h"
#include "engine/text/repair_text.h"
#include "engine/text/report_text.h"
#include "engine/tree/open_below.h"
#include "engine/tree/paths.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>

namespace quelby {

namespace {

constexpr std::string_view kNotSha256 = "the stored digest is not a SHA-256 digest";
constexpr std::string_view kThroughLink = "reached through a link";
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
        RepairedEntry done{entry, RepairResult::none, {}, {}, {}};
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
        const PutBack putting =
            putBack(damaged, (*found)->file.get(), (*found)->size, buffer_, options_.run.backEnd,
                    [this] { return observer_.stopRequested(); });
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

    const RepairOptions& options_;
    RepairObserver& observer_;
    CopySearch& search_;
    const ReadBuffer& buffer_;
    int root_;
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
    RepairState state;
    state.run = walkFolder(run, repairer, pool);
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
