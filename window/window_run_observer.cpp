#include "window/window_run_observer.h"

#include <utility>

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
