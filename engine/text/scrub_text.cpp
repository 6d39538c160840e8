#include "engine/text/scrub_text.h"

namespace quelby::report {

std::string goneLine(std::string_view path)
{
    return "⚠️ Gone since the last scrub: " + std::string(path) + "\n";
}

std::string taggedNewLine(std::string_view path)
{
    return "✅ Tagged new file " + std::string(path) + "\n";
}

std::string withoutDigestText(std::int64_t files)
{
    return files == 1 ? "1 file has no digest" : std::to_string(files) + " files have no digest";
}

std::string scrubSummaryLine(const scrub::FolderSummary& summary, std::string_view folder)
{
    return "Scrubbed " + std::to_string(summary.verified) + " files in " + std::string(folder) +
           ": " + std::to_string(summary.problems) + " problems; " +
           std::to_string(summary.percent) + "% of its " + std::to_string(summary.files) +
           " files verified in the last " + std::to_string(summary.everyDays) + " days" +
           (summary.noDigest > 0 ? "; " + withoutDigestText(summary.noDigest) : "") +
           (summary.newTagged == 1    ? "; 1 new file tagged"
            : summary.newTagged > 1 ? "; " + std::to_string(summary.newTagged) + " new files tagged"
                                    : "") +
           ".\n";
}

std::string beingScrubbedText(std::string_view folder)
{
    return std::string(folder) + " is being scrubbed by another run of Quelby";
}

std::string stateMovedAsideText(std::string_view statePath, std::string_view movedTo)
{
    return "the scrub state " + std::string(statePath) +
           " was damaged or no database; it was moved to " + std::string(movedTo) +
           " and a new one started";
}

std::string strayRecordText(std::string_view statePath, std::string_view folder,
                            std::string_view path)
{
    return "the scrub state " + std::string(statePath) + " held a record for \"" +
           std::string(path) + "\" in " + std::string(folder) +
           ", which is no path below it; the record was dropped";
}

} // namespace quelby::report
