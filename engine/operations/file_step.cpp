#include "engine/operations/file_step.h"

#include "engine/run/time_stamp.h"
#include "engine/store/file_names.h"
#include "engine/store/repair_marks.h"
#include "engine/text/display_text.h"
#include "engine/text/parity_text.h"
#include "engine/text/report_text.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <random>
#include <unistd.h>

namespace quelby {

FileVisit::FileVisit(const RunOptions& runOptions, EntryOutcome& entryOutcome, VisitTurn& visitTurn,
                     const ReadBuffer& readBuffer, int descriptor,
                     std::optional<struct stat> opened)
    : options(runOptions), outcome(entryOutcome), turn(visitTurn), buffer(readBuffer),
      fd(descriptor), opened_(opened)
{
}

const std::string& FileVisit::shownPath()
{
    if (!shownPath_) {
        shownPath_ = escapedForReport(outcome.path);
    }
    return *shownPath_;
}

DigestResult FileVisit::digest()
{
    const auto observer = [this](std::size_t count) {
        outcome.counts.bytesRead += static_cast<std::int64_t>(count);
        turn.bytesRead(count, outcome.path);
        return !turn.stopRequested();
    };
    DigestResult result;
    if (opened_) {
        // A freshly opened file, its state just taken: no seek, no second fstat.
        result = fileDigestFrom(fd, *opened_, buffer, options.backEnd, observer);
        opened_.reset();
    } else {
        // The fallback digests a second time through the same descriptor.
        if (!fresh_) {
            const auto start = sys::lseek(fd, 0, SEEK_SET);
            if (!start && start.error().code != ESPIPE) {
                return std::unexpected(start.error());
            }
        }
        result = fileDigest(fd, buffer, options.backEnd, observer);
    }
    fresh_ = false;
    stopped_ = !result && turn.stopRequested();
    return result;
}

std::optional<Digest> FileVisit::digestOrReport()
{
    const auto result = digest();
    if (result && *result) {
        return **result;
    }
    if (!result && !stopped_) {
        reportUnreadable(result.error().description);
    }
    return std::nullopt;
}

void FileVisit::reportUnreadable(const std::string& reason)
{
    quelby::reportUnreadable(options, outcome, shownPath(), reason);
}

// Repair takes the digest and the stamp from the damaged bytes it keeps, so a
// file that still carries a digest is no kept damage: most files are known
// for what they are by the one read that Check and Retag make anyway.
bool FileVisit::isDamagedCopy()
{
    if (options.operation != Operation::tag || options.newOnly) {
        firstDigestRead_ = storedDigest();
        if (*firstDigestRead_ && **firstDigestRead_) {
            return false;
        }
    }
    const auto mark = options.evidence->read(storedFile(), EvidenceKind::damagedMark);
    return mark && *mark;
}

const std::expected<std::optional<Bytes>, PosixError>& FileVisit::peekStoredDigest()
{
    if (!firstDigestRead_) {
        firstDigestRead_ = storedDigest();
    }
    return *firstDigestRead_;
}

std::expected<std::optional<Bytes>, PosixError> FileVisit::storedDigest()
{
    if (firstDigestRead_) {
        auto first = std::move(*firstDigestRead_);
        firstDigestRead_.reset();
        return first;
    }
    auto value = options.evidence->read(storedFile(), EvidenceKind::digest);
    attributesUnsupported_ = !value && value.error().code == EOPNOTSUPP;
    if (value) {
        if (options.details && *value) {
            outcome.stored = **value;
        }
        return value;
    }
    if (value.error().code == EOPNOTSUPP) {
        return std::optional<Bytes>{};
    }
    return std::unexpected(value.error());
}

const std::optional<Bytes>& FileVisit::storedStamp()
{
    if (!storedStamp_) {
        auto value = options.evidence->read(storedFile(), EvidenceKind::stamp);
        storedStamp_ = value ? std::move(*value) : std::nullopt;
    }
    return *storedStamp_;
}

Verdict FileVisit::judge()
{
    const auto info = sys::fstat(fd);
    const Verdict verdict =
        info ? verdictFor(info->st_mtim, storedStamp()) : Verdict::unknown;
    outcome.verdict = verdict;
    switch (verdict) {
    case Verdict::edited:
        ++outcome.counts.editedCount;
        break;
    case Verdict::damaged:
        ++outcome.counts.damagedCount;
        break;
    case Verdict::unknown:
        ++outcome.counts.unknownCount;
        break;
    }
    return verdict;
}

void FileVisit::recordDetails(const std::optional<Digest>& computed)
{
    if (options.details) {
        outcome.computed = computed;
        outcome.stamp = storedStamp();
        if (const auto info = sys::fstat(fd)) {
            outcome.modified = info->st_mtim;
            outcome.status = *info;
        }
        return;
    }
    // A stamp costs a read of the file's attributes: only a set records it.
    switch (options.proofs) {
    case Proofs::none:
        return;
    case Proofs::besideSets:
        if (!besideParitySet) {
            return;
        }
        outcome.stamp = storedStamp();
        break;
    case Proofs::everywhere:
        outcome.stamp = storedStamp();
        break;
    case Proofs::withoutStamps:
        break;
    }
    outcome.computed = computed;
}

std::expected<void, PosixError> FileVisit::writeDigest(const Digest& digest)
{
    if (options.dryRun) {
        return {};
    }
    return options.evidence->write(storedFile(), EvidenceKind::digest, digest.view());
}

void FileVisit::writeTimeStamp()
{
    if (options.dryRun) {
        return;
    }
    const std::string text = timeStampText(std::chrono::system_clock::now());
    (void)options.evidence->write(storedFile(), EvidenceKind::stamp, text);
}

bool FileVisit::keptForParity(const Digest& digest)
{
    if (folder < 0) {
        return false;
    }
    const auto& stored = peekStoredDigest();
    if (!stored || !*stored || (*stored)->empty() || digest.matches(**stored)) {
        return false;
    }
    const std::string setName(kParitySetFileName);
    if (!sys::fstatAt(folder, setName, AT_SYMLINK_NOFOLLOW)) {
        return false;
    }
    if (judge() == Verdict::edited) {
        return false;
    }
    ++outcome.counts.keptCount;
    ++outcome.counts.failureCount;
    if (options.operation == Operation::tag) {
        ++outcome.counts.errorCount;
    }
    outcome.result = FileResult::kept;
    const std::string rawFolder = outcome.path.substr(0, outcome.path.rfind('/'));
    addLine(report::keptForParityLine(shownPath(),
                                      escapedForReport(rawFolder.empty() ? "/" : rawFolder)));
    return true;
}

void reportUnreadable(const RunOptions& options, EntryOutcome& outcome, const std::string& path,
                      const std::string& reason)
{
    const std::string line = report::couldntReadLine(path, reason);
    outcome.result = FileResult::readFailed;
    outcome.error = reason;
    ++outcome.counts.failureCount;
    ++outcome.counts.readFailedCount;
    if (options.operation == Operation::tag) {
        ++outcome.counts.errorCount;
        outcome.notices += line;
    } else {
        outcome.lines += line;
    }
}

void reportLinkOutside(const RunOptions& options, EntryOutcome& outcome, const std::string& path)
{
    const std::string line = report::couldntTagNotice(path, kLinkLeadsOutside);
    outcome.result = FileResult::tagFailed;
    outcome.error = kLinkLeadsOutside;
    ++outcome.counts.failureCount;
    if (options.operation == Operation::tag) {
        ++outcome.counts.errorCount;
        outcome.notices += line;
    } else {
        outcome.lines += line;
    }
}

bool visitEntry(const RunOptions& options, const TreeRules& rules, const EntryToVisit& entry,
                const ReadBuffer& buffer, PseudoFileSystems& pseudoFileSystems, VisitTurn& turn,
                EntryOutcome& outcome)
{
    outcome.path = entry.path;
    outcome.evidence = entry.evidence;
    OpenedEntry opened = openEntry(entry, rules, pseudoFileSystems);
    outcome.throughLink = opened.throughLink;
    switch (opened.kind) {
    case OpenedEntry::Kind::folder:
        return true; // a link to a folder is neither counted nor reported
    case OpenedEntry::Kind::special:
        break;
    case OpenedEntry::Kind::failed:
        reportUnreadable(options, outcome, escapedForReport(entry.path), opened.reason);
        break;
    case OpenedEntry::Kind::outside:
        reportLinkOutside(options, outcome, escapedForReport(entry.path));
        break;
    case OpenedEntry::Kind::file: {
        outcome.opened = opened.info;
        const bool mayHaveChanged = turn.opened(opened.info);
        if (turn.stopRequested()) {
            return false;
        }
        FileVisit visit(options, outcome, turn, buffer, opened.file.get(),
                        mayHaveChanged ? std::nullopt : std::optional(opened.info));
        visit.folder = entry.folder ? entry.folder->get() : -1;
        visit.besideParitySet = entry.besideParitySet;
        if (visit.isDamagedCopy()) {
            outcome.result = FileResult::damagedCopy;
            outcome.lines = report::damagedCopyLine(visit.shownPath());
            outcome.counts.damagedCopyCount = 1;
            break;
        }
        switch (options.operation) {
        case Operation::check:
            checkFile(visit);
            break;
        case Operation::tag:
            tagFile(visit);
            break;
        case Operation::retag:
            retagFile(visit);
            break;
        }
        if (visit.stopped()) {
            return false;
        }
        break;
    }
    }
    outcome.counts.totalCount = 1;
    return true;
}

VisitFunction entryVisits(const RunOptions& options, const TreeRules& rules,
                          PseudoFileSystems& pseudoFileSystems)
{
    return [&options, &rules, &pseudoFileSystems](
               const EntryToVisit& entry, const std::expected<ReadBuffer, PosixError>& buffer,
               VisitTurn& turn, EntryOutcome& outcome) {
        if (buffer) {
            return visitEntry(options, rules, entry, *buffer, pseudoFileSystems, turn, outcome);
        }
        outcome.path = entry.path;
        outcome.counts.totalCount = 1;
        reportUnreadable(options, outcome, escapedForReport(entry.path),
                         buffer.error().description);
        return true;
    };
}

namespace {

std::array<unsigned char, 32> processHashKey()
{
    std::array<unsigned char, 32> key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        std::random_device device;
        for (auto& byte : key) {
            byte = static_cast<unsigned char>(device());
        }
    }
    return key;
}

} // namespace

std::int64_t digestHashNumber(const Digest& digest)
{
    static const std::array<unsigned char, 32> key = processHashKey();
    std::array<unsigned char, 64> input{};
    std::memcpy(input.data(), key.data(), key.size());
    std::memcpy(input.data() + key.size(), digest.bytes.data(), digest.bytes.size());
    const Digest keyed =
        digestOfBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
    std::int64_t number = 0;
    std::memcpy(&number, keyed.bytes.data(), sizeof number);
    return number;
}

} // namespace quelby
