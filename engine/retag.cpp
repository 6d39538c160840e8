#include "file_step.h"
#include "report_text.h"

namespace quelby {

namespace {

// After a successful digest write: the stamp where the run writes them, then the line.
void recordWrite(FileVisit& visit, const std::string& line)
{
    if (visit.options.timeStamps) {
        visit.writeTimeStamp();
    }
    visit.state.pendingText += line;
}

// No digest could be read, or a write failed: digest afresh and try once more.
void fallback(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    if (visit.writeDigest(*digest)) {
        ++visit.state.firstTagCount;
        recordWrite(visit, report::taggedLine(visit.path));
        return;
    }
    ++visit.state.failureCount;
    visit.state.pendingText += report::couldntTagLine(visit.path);
}

} // namespace

void retagFile(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    auto& state = visit.state;
    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    if (!*stored) {
        fallback(visit);
        return;
    }
    if ((*stored)->empty()) {
        if (!visit.writeDigest(*digest)) {
            fallback(visit);
            return;
        }
        ++state.firstTagCount;
        recordWrite(visit, report::taggedLine(visit.path));
        return;
    }
    if (digest->matches(**stored)) {
        ++state.matchedCount;
        if (visit.options.verbose) {
            state.pendingText += report::digestsLine(visit.path);
        }
        return;
    }
    if (!visit.writeDigest(*digest)) {
        fallback(visit);
        return;
    }
    ++state.retaggedCount;
    recordWrite(visit, report::retaggedLine(visit.path));
}

} // namespace quelby
