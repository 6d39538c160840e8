#include "window/window_run_observer.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/text/report_text.h"

#include <utility>

std::string runClosingText(const quelby::RunOptions& options, quelby::RunState& state,
                           const std::string& notice)
{
    std::string text = notice.empty() ? std::string() : notice + "\n";
    for (const std::string& passedOver : options.evidence->notices()) {
        text += passedOver + "\n";
    }
    text += quelby::whereDigestsAreKept(*options.evidence);
    if (auto written = options.evidence->finish(); !written) {
        text += "\u274C " + written.error() + "\n";
        ++state.failureCount;
    }
    if (state.stopped) {
        return text + quelby::stoppedText(options, state);
    }
    text += quelby::summaryText(options, state);
    if (options.explain) {
        // The report ends without a line break, as a summary does; the export adds its own.
        std::string verdicts = quelby::report::verdictsLine(state);
        verdicts.pop_back();
        text += "\n" + verdicts;
    }
    return text;
}

WindowRunObserver::WindowRunObserver(const std::atomic<bool>& stop, ShowNotices showNotices,
                                     ShowFigures showFigures)
    : stop_(stop), showNotices_(std::move(showNotices)), showFigures_(std::move(showFigures))
{
}

// Tag's notices reach the report at once; the rest of the run's text waits for its end.
void WindowRunObserver::entryDone(const quelby::EntryOutcome& outcome)
{
    pendingText += outcome.lines;
    if (!outcome.notices.empty()) {
        showNotices_(outcome.notices);
    }
}

void WindowRunObserver::progress(const quelby::RunProgress& progress)
{
    if (throttle_.due()) {
        showFigures_(ProgressFigures{progress.filesDone, progress.bytesDone,
                                     std::string(progress.currentPath)});
    }
}
