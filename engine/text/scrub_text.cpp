#include "engine/text/scrub_text.h"

#include "engine/text/display_text.h"

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

std::string counted(std::int64_t count, std::string_view one, std::string_view many)
{
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string scrubSummaryLine(const scrub::FolderSummary& summary, std::string_view folder)
{
    return "Scrubbed " + counted(summary.verified, "file", "files") + " in " + std::string(folder) +
           ": " + counted(summary.problems, "problem", "problems") + "; " +
           periodText(summary.percent, summary.files, summary.everyDays) +
           (summary.noDigest > 0 ? "; " + withoutDigestText(summary.noDigest) : "") +
           (summary.newTagged > 0
                ? "; " + counted(summary.newTagged, "new file", "new files") + " tagged"
                : "") +
           ".\n";
}

std::string periodText(std::int64_t percent, std::int64_t files, std::int64_t everyDays)
{
    return std::to_string(percent) + "% of its " + counted(files, "file", "files") +
           " verified in the last " + counted(everyDays, "day", "days");
}

std::vector<std::string> nextSteps(bool readFailed, std::optional<Verdict> verdict, bool hasParity,
                                   std::string_view folder)
{
    if (readFailed) {
        // Repair must read the file too; only the cause can be dealt with.
        return {"look: why it cannot be read (its permissions, its disk); the next scrub tries "
                "it first"};
    }
    const std::string word = shellWord(folder);
    const Verdict judged = verdict.value_or(Verdict::unknown);
    std::vector<std::string> steps;
    if (judged != Verdict::edited) {
        // Without --also-unknown, repair leaves a file whose verdict is unknown.
        steps.push_back(std::string("repair: quelby-cli repair ") +
                        (judged == Verdict::unknown ? "--also-unknown " : "") +
                        (hasParity ? "" : "--from COPY ") + word);
    }
    if (judged != Verdict::damaged) {
        steps.push_back("accept: quelby-cli retag --only-edited --times " + word);
    }
    return steps;
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
