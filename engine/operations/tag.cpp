#include "engine/operations/file_step.h"
#include "engine/text/report_text.h"

namespace quelby {

namespace {

// newOnly: a file that carries a digest is left as it is, its contents
// unread. True when the file needs nothing more: it has a digest, or
// reading its digest failed, which is reported.
bool leftAsTagged(FileVisit& visit)
{
    const auto& stored = visit.peekStoredDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return true;
    }
    if (!*stored || (*stored)->empty()) {
        return false;
    }
    ++visit.outcome.counts.alreadyTaggedCount;
    return true;
}

} // namespace

void tagFile(FileVisit& visit)
{
    if (visit.options.newOnly && leftAsTagged(visit)) {
        return;
    }
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    if (visit.keptForParity(*digest)) {
        visit.recordDetails(digest);
        return;
    }
    auto& outcome = visit.outcome;
    const auto stored = visit.storedDigest(); // what it held before this write
    visit.recordDetails(digest);
    if (visit.options.verbose) {
        visit.addLine(visit.options.dryRun
                          ? report::wouldTagLine(visit.shownPath())
                          : report::digestLine(digestHashNumber(*digest), visit.shownPath()));
    }
    const auto written = visit.writeDigest(*digest);
    if (!written) {
        ++outcome.counts.errorCount;
        ++outcome.counts.failureCount;
        outcome.result = FileResult::tagFailed;
        outcome.error = written.error().description;
        outcome.notices += report::couldntTagNotice(visit.shownPath(), written.error().description);
        return;
    }
    outcome.result = FileResult::tagged;
    ++outcome.counts.writtenCount;
    // A stored digest that differs may be the only proof of damage, unless an edit explains it.
    const bool differed = stored && *stored && !(*stored)->empty() && !digest->matches(**stored);
    if (differed && !visit.options.dryRun && outcome.verdict != Verdict::edited) {
        ++outcome.counts.replacedCount;
    }
    if (visit.options.timeStamps) {
        visit.writeTimeStamp();
    }
}

} // namespace quelby
