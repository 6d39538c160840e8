#include "window/window_run_observer.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/text/display_text.h"
#include "engine/text/failure_line.h"
#include "engine/text/report_text.h"

#include <utility>

KindedText runClosingText(const quelby::RunOptions& options, const quelby::RunState& state,
                          const std::string& notice, const std::expected<void, std::string>& stored)
{
    KindedText text(notice.empty() ? std::string() : notice + "\n");
    for (const std::string& passedOver : options.evidence->notices()) {
        text.add(passedOver + "\n", LineKind::other);
    }
    text.add(quelby::whereDigestsAreKept(*options.evidence), LineKind::other);
    if (!stored) {
        text.add(quelby::report::failureLine(stored.error()), LineKind::failure);
    }
    if (state.stopped) {
        text.add(quelby::stoppedText(options, state), LineKind::other);
        return text;
    }
    text.add(quelby::summaryText(options, state), LineKind::other);
    if (options.explain) {
        // The report ends without a line break, as a summary does; the export adds its own.
        std::string verdicts = quelby::report::verdictsLine(state);
        verdicts.pop_back();
        text.add("\n" + verdicts, LineKind::other);
    }
    return text;
}

std::expected<void, std::string> finishStore(const quelby::RunOptions& options,
                                             quelby::RunState& state)
{
    auto stored = options.evidence->finish();
    if (!stored) {
        ++state.failureCount;
    }
    return stored;
}

void EntryLines::entryDone(const quelby::EntryOutcome& outcome)
{
    lines.add(outcome.lines, entryLineKind(operation_, outcome.result));
    // Notices are Tag's failures, said at once.
    lines.add(outcome.notices, LineKind::failure);
}

WindowRunObserver::WindowRunObserver(quelby::Operation operation, const std::atomic<bool>& stop,
                                     ShowNotices showNotices, ShowFigures showFigures)
    : operation_(operation), stop_(stop), showNotices_(std::move(showNotices)),
      showFigures_(std::move(showFigures))
{
}

// Tag's notices reach the report at once; the rest of the run's text waits for its end.
void WindowRunObserver::entryDone(const quelby::EntryOutcome& outcome)
{
    pendingText.add(outcome.lines, entryLineKind(operation_, outcome.result));
    if (!outcome.notices.empty()) {
        showNotices_(KindedText(outcome.notices, LineKind::failure));
    }
}

void WindowRunObserver::progress(const quelby::RunProgress& progress)
{
    if (throttle_.due()) {
        showFigures_(ProgressFigures{progress.filesDone, progress.bytesDone,
                                     quelby::escapedForReport(progress.currentPath)});
    }
}
