#include "engine/text/report_text.h"

#include "engine/text/display_text.h"
#include "engine/text/report_pieces.h"

namespace quelby::report {

namespace {

std::string number(std::int64_t value)
{
    return std::to_string(value);
}

} // namespace

std::string noDigestLine(std::string_view path, std::string_view timeText)
{
    return join({kWarning, "No digest found for ", path, " @ ", timeText, "\n"});
}

std::string noDigestBareLine(std::string_view path)
{
    return join({kWarning, "No digest found for ", path, "\n"});
}

std::string matchedLine(std::string_view path, std::string_view timeText)
{
    return join({kTick, "Digests for ", path, " @ ", timeText, "\n"});
}

namespace {

std::string notEqual(std::string_view explanation)
{
    return explanation.empty() ? std::string(" aren't equal.\n")
                               : join({" aren't equal: ", explanation, ".\n"});
}

} // namespace

std::string differsLine(std::string_view path, std::string_view timeText,
                        std::string_view explanation)
{
    return join({kCross, "Digests for ", path, " @ ", timeText, notEqual(explanation)});
}

std::string differsPlainLine(std::string_view path, std::string_view explanation)
{
    return join({kCross, "Digests for ", path, notEqual(explanation)});
}

std::string verdictsLine(const RunCounts& counts)
{
    return join({"Of the files that differ: ", number(counts.editedCount), " edited, ",
                 number(counts.damagedCount), " possibly damaged, ", number(counts.unknownCount),
                 " unknown.\n"});
}

std::string digestLine(std::int64_t hash, std::string_view path)
{
    return join({"Digest ", number(hash), " for ", path, "\n"});
}

std::string couldntTagNotice(std::string_view path, std::string_view reason)
{
    return join({kCross, "Couldn't tag ", path, ": ", reason, "\n"});
}

std::string keptLine(std::string_view path, std::string_view explanation)
{
    return join({kCross, "Kept the digest of ", path, ": ", explanation, "\n"});
}

std::string digestsLine(std::string_view path)
{
    return join({kTick, "Digests for ", path, "\n"});
}

std::string taggedLine(std::string_view path)
{
    return join({kWarning, "Tagged ", path, "\n"});
}

std::string retaggedLine(std::string_view path)
{
    return join({kWarning, "Retagged ", path, "\n"});
}

std::string wouldTagLine(std::string_view path)
{
    return join({"Would tag ", path, "\n"});
}

std::string wouldRetagLine(std::string_view path)
{
    return join({"Would retag ", path, "\n"});
}

std::string wouldDropMissingLine(std::string_view path)
{
    return join({"Would drop the digest of missing ", path, "\n"});
}

std::string wouldWriteSummary(Operation operation, const RunCounts& counts, std::string_view folder)
{
    return join({operation == Operation::retag ? "Would retag " : "Would tag ",
                 number(counts.writtenCount), " of ", number(counts.totalCount),
                 counts.totalCount == 1 ? " file in " : " files in ", folder, "."});
}

std::string replacedDigestsWarning(std::int64_t replaced)
{
    return join({number(replaced),
                 replaced == 1 ? " stored digest differs and was replaced"
                               : " stored digests differ and were replaced",
                 "; check first, or use --new-only or --only-edited to keep them as evidence"});
}

std::string couldntTagLine(std::string_view path, std::string_view reason)
{
    return couldntTagNotice(path, reason);
}

std::string couldntReadLine(std::string_view path, std::string_view reason)
{
    return join({kCross, "Couldn't read ", path, ": ", reason, "\n"});
}

std::string missingLine(std::string_view path)
{
    return join({kCross, "Missing ", path, "\n"});
}

std::string droppedMissingLine(std::string_view path)
{
    return join({kWarning, "Dropped the digest of missing ", path, "\n"});
}

std::string stoppedLine(std::int64_t done, std::string_view folder)
{
    return join({"Stopped after ", number(done), " files in ", folder, ".\n"});
}

std::string leftoverLine(std::string_view path)
{
    return join({kWarning, "Left over from an interrupted repair: ", path, "\n"});
}

std::string damagedCopyLine(std::string_view path)
{
    return join({kWarning, "Damaged copy kept by repair: ", path, "\n"});
}

std::string checkSummary(const RunState& state, std::string_view folder, bool verbose,
                         std::int64_t setBufferSize, std::int64_t realBufferSize)
{
    std::string text = join({"Checked a total of ", number(state.totalCount), " files in ", folder,
                             verbose ? "\n" : ""});
    text += join({"\t", number(state.matchedCount), " matched digest correctly\n", "\t",
                  number(state.mismatchedCount), " didn't match their digest\n", "\t",
                  number(state.noDigestCount), " had no digest."});
    if (state.missingCount > 0) {
        text += join({"\n\t", number(state.missingCount),
                      state.missingCount == 1 ? " listed file was missing."
                                              : " listed files were missing."});
    }
    if (verbose) {
        text += join({"\nBuffer size ", number(setBufferSize), " giving actual buffer ",
                      number(realBufferSize)});
    }
    return text;
}

std::string tagSummary(const RunState& state, std::string_view folder, bool verbose,
                       std::int64_t setBufferSize)
{
    // Files left alone for their digest were not tagged: they have a line of their own.
    std::string text =
        join({"Tagged a total of ", number(state.totalCount - state.alreadyTaggedCount),
              " files in ", folder, " with ", number(state.errorCount), " errors."});
    if (state.alreadyTaggedCount > 0) {
        text += join({"\n", number(state.alreadyTaggedCount),
                      state.alreadyTaggedCount == 1
                          ? " file already had a digest and was left as it was."
                          : " files already had a digest and were left as they were."});
    }
    if (verbose) {
        text += join({"\nBuffer size ", number(setBufferSize)});
    }
    return text;
}

std::string retagSummary(const RunState& state, std::string_view folder, bool verbose,
                         std::int64_t setBufferSize, std::int64_t realBufferSize)
{
    std::string text = join({"Retagged a total of ", number(state.totalCount), " files in ", folder,
                             verbose ? "\n" : ""});
    text += join({"\t", number(state.matchedCount), " matched digest correctly\n", "\t",
                  number(state.retaggedCount), " were retagged\n", "\t",
                  number(state.firstTagCount), " were tagged for the first time."});
    if (verbose) {
        text += join({"\nBuffer size ", number(setBufferSize), " giving actual buffer ",
                      number(realBufferSize)});
    }
    return text;
}

} // namespace quelby::report

namespace quelby {

std::string summaryText(const RunOptions& options, const RunState& state)
{
    const std::string folder = escapedForReport(options.folder);
    if (options.dryRun && options.operation != Operation::check) {
        return report::wouldWriteSummary(options.operation, state, folder);
    }
    switch (options.operation) {
    case Operation::check:
        return report::checkSummary(state, folder, options.verbose, options.setBufferSize,
                                    options.realBufferSize);
    case Operation::tag:
        return report::tagSummary(state, folder, options.verbose, options.setBufferSize);
    case Operation::retag:
        return report::retagSummary(state, folder, options.verbose, options.setBufferSize,
                                    options.realBufferSize);
    }
    return {};
}

std::string stoppedText(const RunOptions& options, const RunState& state)
{
    return report::stoppedLine(state.totalCount, escapedForReport(options.folder));
}

} // namespace quelby
