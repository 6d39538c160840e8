#include "file_step.h"
#include "report_text.h"

namespace quelby {

void tagFile(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    auto& state = visit.state;
    if (visit.options.verbose) {
        state.pendingText += report::digestLine(digestHashNumber(*digest), visit.path);
    }
    const auto written = visit.writeDigest(*digest);
    if (!written) {
        ++state.errorCount;
        ++state.failureCount;
        visit.observer.notice(report::couldntTagNotice(visit.path, written.error().description));
        return;
    }
    if (visit.options.timeStamps) {
        visit.writeTimeStamp();
    }
}

} // namespace quelby
