#include "engine/operations/file_step.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/scrub_text.h"

#include <cerrno>
#include <chrono>

namespace quelby {

namespace {

// The stored stamp as shown: escaped text when it is UTF-8, otherwise "??".
std::string timeText(const std::optional<Bytes>& stamp)
{
    if (!stamp || stamp->empty() || !isValidUtf8(*stamp)) {
        return "??";
    }
    return escapedForReport(*stamp);
}

// Only the stored digest, for a run that reads no contents.
void readStoredOnly(FileVisit& visit)
{
    auto& outcome = visit.outcome;
    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    outcome.stored = *stored;
    if (*stored && (*stored)->size() == Digest{}.bytes.size()) {
        ++outcome.counts.matchedCount;
        outcome.result = FileResult::matched;
        return;
    }
    ++outcome.counts.noDigestCount;
    if (visit.attributesUnsupported()) {
        ++outcome.counts.unsupportedCount;
    }
    outcome.result = FileResult::noDigest;
}

void reportNoDigest(FileVisit& visit, const std::optional<Bytes>& stored,
                    std::string_view stampText)
{
    ++visit.outcome.counts.noDigestCount;
    if (visit.attributesUnsupported()) {
        ++visit.outcome.counts.unsupportedCount;
    }
    visit.outcome.result = FileResult::noDigest;
    if (visit.options.verbose) {
        const bool bareLine = stored && visit.options.backEnd == DigestBackEnd::legacy;
        visit.addLine(bareLine ? report::noDigestBareLine(visit.shownPath())
                               : report::noDigestLine(visit.shownPath(), stampText));
    }
}

// A file is left alone while it may still be arriving. Copiers that keep
// times set the old modification time only once the copy is whole, and the
// digest fails should the size or the times move while it is read.
constexpr std::chrono::seconds kSettleTime{60};

bool hasSettled(const struct stat& info)
{
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::seconds(info.st_mtim.tv_sec) +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    return modified + kSettleTime < std::chrono::system_clock::now();
}

// Gives a settled file without a digest its digest and a stamp, through the
// descriptor it was read through. True when it was tagged or failed to be;
// otherwise it is reported as a file without a digest, and a later run tries
// again. A manifest is written only by a run that holds its lock, so files
// a manifest keeps are left to Tag; and so is a file reached through a
// symbolic link, which may lie anywhere: one inside the folder is tagged
// where the walk meets it under its own name.
bool tagNewFile(FileVisit& visit)
{
    auto& outcome = visit.outcome;
    const EvidenceStore& store =
        outcome.evidence.owner ? *outcome.evidence.owner : *visit.options.evidence;
    if (store.manifest() != nullptr || outcome.throughLink || visit.attributesUnsupported() ||
        !outcome.opened || !hasSettled(*outcome.opened)) {
        return false;
    }
    const auto digest = visit.digest();
    if (!digest || !*digest) {
        if (!digest && !visit.stopped() &&
            digest.error().description != kFileChangedWhileRead) {
            visit.reportUnreadable(digest.error().description);
            return true; // reported
        }
        return false;
    }
    if (const auto written = visit.writeDigest(**digest); !written) {
        if (written.error().code == EROFS) {
            return false; // a read-only file system: nothing new can be protected there
        }
        ++outcome.counts.failureCount;
        outcome.result = FileResult::tagFailed;
        outcome.error = written.error().description;
        visit.addLine(report::couldntTagNotice(visit.shownPath(), written.error().description));
        return true;
    }
    visit.writeTimeStamp();
    // The state keeps the file as it is now, its status-change time moved by
    // the write, so that it is not due again at once.
    if (const auto now = sys::fstat(visit.fd)) {
        outcome.opened = *now;
    }
    visit.recordDetails(*digest);
    ++outcome.counts.newTaggedCount;
    outcome.result = FileResult::tagged;
    if (visit.options.verbose) {
        visit.addLine(report::taggedNewLine(visit.shownPath()));
    }
    return true;
}

// True when the file carries a digest worth reading it for; otherwise it has
// been reported as it is, or tagged when new files are.
bool hasDigestToCompare(FileVisit& visit)
{
    const auto& stored = visit.peekStoredDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return false;
    }
    if (!*stored || (*stored)->empty()) {
        if (visit.options.tagsNew && tagNewFile(visit)) {
            return false;
        }
        reportNoDigest(visit, *stored,
                       visit.options.verbose ? timeText(visit.storedStamp()) : std::string());
        return false;
    }
    return true;
}

} // namespace

void checkFile(FileVisit& visit)
{
    if (!visit.options.readsContents) {
        readStoredOnly(visit);
        return;
    }
    if (!visit.options.readsUntagged && !hasDigestToCompare(visit)) {
        return;
    }
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    visit.recordDetails(digest);
    const bool verbose = visit.options.verbose;
    const std::string stampText = verbose ? timeText(visit.storedStamp()) : std::string();
    auto& counts = visit.outcome.counts;
    auto& result = visit.outcome.result;

    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    if (!*stored || (*stored)->empty()) {
        reportNoDigest(visit, *stored, stampText);
        return;
    }
    if (digest->matches(**stored)) {
        ++counts.matchedCount;
        result = FileResult::matched;
        if (verbose) {
            visit.addLine(report::matchedLine(visit.shownPath(), stampText));
        }
        return;
    }
    ++counts.mismatchedCount;
    ++counts.failureCount;
    result = FileResult::differs;
    std::string_view explanation;
    // A scrub (which reads only tagged files) keeps the verdict for the journal.
    if (visit.options.explain || visit.options.details || !visit.options.readsUntagged) {
        const Verdict verdict = visit.judge();
        if (visit.options.explain) {
            explanation = verdictText(verdict);
        }
    }
    visit.addLine(verbose ? report::differsLine(visit.shownPath(), stampText, explanation)
                          : report::differsPlainLine(visit.shownPath(), explanation));
}

} // namespace quelby
