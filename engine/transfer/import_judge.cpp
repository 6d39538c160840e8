#include "engine/transfer/import_judge.h"

#include "engine/platform/sys.h"
#include "engine/run/time_stamp.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/transfer_text.h"
#include "engine/transfer/import_reach.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>

namespace quelby {

// The lines that list one file share its slot, so the second sees what the first stored.
bool ImportJudge::judgeGroup(const std::vector<ListedFile>& files, std::size_t first,
                             ReadAhead* read)
{
    const std::string path = absolutePath(options_.folder, files[first].key);
    // The entries listed before it are passed over: an import reports no file missing.
    while (!options_.evidence->goneBefore(&path).empty()) {
    }
    EntryOutcome entry;
    entry.path = path;
    options_.evidence->lookUp(path, entry.evidence);
    const std::size_t end = groupEnd(files, first);
    for (std::size_t index = first; index < end && !state_.stopped; ++index) {
        importOne(files[index], path, entry.evidence, read);
    }
    options_.evidence->apply(entry);
    return !state_.stopped;
}

// The file's digest; bytes counts what was read of it.
DigestResult ImportJudge::digestOf(const OpenedEntry& opened, std::int64_t& bytes)
{
    return fileDigestFrom(opened.file.get(), opened.info, *buffer_, options_.backEnd,
                          [this, &bytes](std::size_t count) {
                              bytes += static_cast<std::int64_t>(count);
                              progressBytes_ += static_cast<std::int64_t>(count);
                              observer_.bytesRead(progressBytes_);
                              return !observer_.stopRequested();
                          });
}

bool ImportJudge::prepare(const std::vector<ListedFile>& files, std::int64_t bufferSize)
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
        auto buffer = ReadBuffer::allocate(bufferSize);
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

void ImportJudge::refuse(ImportOutcome& outcome, std::string_view reason)
{
    reportRefused(outcome, reason, observer_, state_);
}

void ImportJudge::importOne(const ListedFile& file, const std::string& path, EvidenceSlot& slot,
                            ReadAhead* readAhead)
{
    // Named as Check names it; a link that leads out of the folder names no file of
    // it, and keeps the path as listed.
    ImportOutcome outcome;
    outcome.lineNumber = file.lineNumber;
    outcome.path = path;
    outcome.listed = file.digest;
    const std::string shown = escapedForReport(path);
    Reached reached;
    if (readAhead != nullptr && readAhead->stillOpen) {
        reached.kind = Reached::Kind::file;
        reached.opened = std::move(*readAhead->stillOpen);
        readAhead->stillOpen.reset(); // the group's next line reaches the file afresh
    } else {
        reached = reach(root_->get(), file.key, rules_, pseudoFileSystems_);
    }
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
    std::optional<Digest> digest;
    std::optional<std::string> failure;
    const bool readBefore =
        readAhead != nullptr && sameFileAsRead(readAhead->opened, reached.opened.info);
    if (readBefore) {
        digest = readAhead->digest;
        failure = readAhead->failure;
        bytes = readAhead->bytes;
    } else {
        const DigestResult read = digestOf(reached.opened, bytes);
        if (read) {
            digest = *read;
        } else {
            failure = read.error().description;
        }
    }
    state_.bytesRead += bytes;
    if (failure && !readBefore && observer_.stopRequested()) {
        state_.stopped = true; // a file stopped part-way gets no line and no digest
        return;
    }
    if (failure) {
        refuse(outcome, *failure);
        return;
    }
    if (!digest) {
        observer_.lineDone(outcome);
        return;
    }
    outcome.computed = *digest;
    const bool wrote = judge(outcome, stored, shown);
    if (wrote && readBefore) {
        keepAfterOwnWrite(*readAhead, reached.opened.file.get());
    }
    observer_.lineDone(outcome);
}

// Storing a digest in an attribute changes the file's ctime, not its
// contents: the next line that lists the same file still uses what was
// read ahead, unless the file changed in another way meanwhile.
void ImportJudge::keepAfterOwnWrite(ReadAhead& readAhead, int fd)
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
bool ImportJudge::judge(ImportOutcome& outcome, const StoredFile& stored, const std::string& shown)
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

} // namespace quelby
