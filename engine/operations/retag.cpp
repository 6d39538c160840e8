#include "engine/operations/file_step.h"
#include "engine/text/report_text.h"

namespace quelby {

namespace {

// What a successful digest write makes of the file.
enum class Rewrite
{
    firstTag, // no digest could be read
    retag     // the stored digest differed
};

// After a successful digest write: the stamp where the run writes them, then the line.
// A run that accepts edits always dates what it writes: an older stamp left
// beside the new digest would read later damage as one more edit.
void recordWrite(FileVisit& visit, Rewrite rewrite)
{
    if (visit.options.timeStamps || visit.options.onlyEdited) {
        visit.writeTimeStamp();
    }
    auto& outcome = visit.outcome;
    ++outcome.counts.writtenCount;
    if (rewrite == Rewrite::retag) {
        ++outcome.counts.retaggedCount;
        outcome.result = FileResult::retagged;
        // Under onlyEdited, only edits get here: they prove nothing.
        if (!visit.options.dryRun && outcome.verdict != Verdict::edited) {
            ++outcome.counts.replacedCount;
        }
    } else {
        ++outcome.counts.firstTagCount;
        outcome.result = FileResult::tagged;
    }
    if (visit.options.dryRun) {
        visit.addLine(report::wouldRetagLine(visit.shownPath()));
    } else {
        visit.addLine(rewrite == Rewrite::retag ? report::retaggedLine(visit.shownPath())
                                                : report::taggedLine(visit.shownPath()));
    }
}

// No digest could be read, or a write failed: digest afresh and try once more.
void fallback(FileVisit& visit, Rewrite rewrite)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    const auto written = visit.writeDigest(*digest);
    if (written) {
        recordWrite(visit, rewrite);
        return;
    }
    auto& outcome = visit.outcome;
    ++outcome.counts.failureCount;
    outcome.result = FileResult::tagFailed;
    outcome.error = written.error().description;
    visit.addLine(report::couldntTagLine(visit.shownPath(), written.error().description));
}

} // namespace

void retagFile(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    visit.recordDetails(digest);
    if (!*stored) {
        fallback(visit, Rewrite::firstTag);
        return;
    }
    const Rewrite rewrite = (*stored)->empty() ? Rewrite::firstTag : Rewrite::retag;
    if (rewrite == Rewrite::retag && digest->matches(**stored)) {
        ++visit.outcome.counts.matchedCount;
        visit.outcome.result = FileResult::matched;
        if (visit.options.verbose) {
            visit.addLine(report::digestsLine(visit.shownPath()));
        }
        return;
    }
    if (rewrite == Rewrite::retag && visit.keptForParity(*digest)) {
        return;
    }
    // A digest that differs without an edit may be the only proof of damage.
    if (rewrite == Rewrite::retag && visit.options.onlyEdited) {
        const Verdict verdict = visit.judge();
        if (verdict != Verdict::edited) {
            ++visit.outcome.counts.keptCount;
            ++visit.outcome.counts.failureCount;
            visit.outcome.result = FileResult::kept;
            visit.addLine(report::keptLine(visit.shownPath(), verdictText(verdict)));
            return;
        }
    }
    if (!visit.writeDigest(*digest)) {
        fallback(visit, rewrite);
        return;
    }
    recordWrite(visit, rewrite);
}

} // namespace quelby
