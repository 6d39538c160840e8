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
    auto& state = visit.state;

    const auto stored = visit.storedDigest();
    if (!stored) {
        visit.reportUnreadable(stored.error().description);
        return;
    }
    if (!*stored || (*stored)->empty()) {
        ++state.noDigestCount;
        if (verbose) {
            const bool bareLine = *stored && visit.options.backEnd == DigestBackEnd::legacy;
            state.pendingText += bareLine ? report::noDigestBareLine(visit.path)
                                          : report::noDigestLine(visit.path, stampText);
        }
        return;
    }
    if (digest->matches(**stored)) {
        ++state.matchedCount;
        if (verbose) {
            state.pendingText += report::matchedLine(visit.path, stampText);
        }
        return;
    }
    ++state.mismatchedCount;
    ++state.failureCount;
    state.pendingText +=
        verbose ? report::differsLine(visit.path, stampText) : report::differsPlainLine(visit.path);
}

} // namespace quelby
