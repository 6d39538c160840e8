#include "engine/operations/file_step.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"

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
        visit.addLine(bareLine ? report::noDigestBareLine(visit.path)
                               : report::noDigestLine(visit.path, stampText));
    }
}

// True when the file carries a digest worth reading it for; otherwise it has
// been reported as it is.
bool hasDigestToCompare(FileVisit& visit)
{
    const auto& stored = visit.peekStoredDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return false;
    }
    if (!*stored || (*stored)->empty()) {
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
            visit.addLine(report::matchedLine(visit.path, stampText));
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
    visit.addLine(verbose ? report::differsLine(visit.path, stampText, explanation)
                          : report::differsPlainLine(visit.path, explanation));
}

} // namespace quelby
