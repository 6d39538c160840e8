#include "display_text.h"
#include "file_step.h"
#include "report_text.h"

namespace quelby {

namespace {

// The stored stamp as shown: escaped text when it is UTF-8, otherwise "??".
std::string timeText(FileVisit& visit)
{
    const auto stamp = readExtendedAttribute(visit.fd, kTimeAttributeName);
    if (!stamp || stamp->empty() || !isValidUtf8(*stamp)) {
        return "??";
    }
    return escapedForReport(*stamp);
}

} // namespace

void checkFile(FileVisit& visit)
{
    const auto digest = visit.digestOrReport();
    if (!digest) {
        return;
    }
    const bool verbose = visit.options.verbose;
    const std::string stampText = verbose ? timeText(visit) : std::string();
    auto& counts = visit.outcome.counts;
    auto& result = visit.outcome.result;

    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    if (!*stored || (*stored)->empty()) {
        ++counts.noDigestCount;
        result = FileResult::noDigest;
        if (verbose) {
            const bool bareLine = *stored && visit.options.backEnd == DigestBackEnd::legacy;
            visit.addLine(bareLine ? report::noDigestBareLine(visit.path)
                                          : report::noDigestLine(visit.path, stampText));
        }
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
    visit.addLine(verbose ? report::differsLine(visit.path, stampText)
                          : report::differsPlainLine(visit.path));
}

} // namespace quelby
