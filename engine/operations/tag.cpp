#include "engine/operations/file_step.h"
#include "engine/text/report_text.h"

namespace quelby {

void tagFile(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    if (visit.keptForParity(*digest)) {
        visit.recordDetails(digest);
        return;
    }
    auto& outcome = visit.outcome;
    if (visit.options.details) {
        (void)visit.storedDigest(); // what it held before this write
        visit.recordDetails(digest);
    }
    if (visit.options.verbose) {
        visit.addLine(report::digestLine(digestHashNumber(*digest), visit.path));
    }
    const auto written = visit.writeDigest(*digest);
    if (!written) {
        ++outcome.counts.errorCount;
        ++outcome.counts.failureCount;
        outcome.result = FileResult::tagFailed;
        outcome.error = written.error().description;
        outcome.notices += report::couldntTagNotice(visit.path, written.error().description);
        return;
    }
    outcome.result = FileResult::tagged;
    if (visit.options.timeStamps) {
        visit.writeTimeStamp();
    }
}

} // namespace quelby
