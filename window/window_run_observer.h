#pragma once

// How a window run follows its walk. It lives on the walk's own thread: it
// keeps the run's text until the end, and hands Tag's notices and throttled
// progress figures to the window through the callbacks it is given, which
// make the hop to the main thread themselves.

#include "engine/run/run.h"
#include "window/run_progress.h"

#include <atomic>
#include <functional>
#include <string>

// What follows a finished walk's lines: where its digests are kept (with a
// manifest), a manifest that could not be written (a failure of the run),
// then its summary or Stopped line. notice comes first when there is one.
std::string runClosingText(const quelby::RunOptions& options, quelby::RunState& state,
                           const std::string& notice);

class WindowRunObserver : public quelby::RunObserver {
public:
    using ShowNotices = std::function<void(std::string notices)>;
    using ShowFigures = std::function<void(ProgressFigures figures)>;

    WindowRunObserver(const std::atomic<bool>& stop, ShowNotices showNotices,
                      ShowFigures showFigures);

    void entryDone(const quelby::EntryOutcome& outcome) override;
    bool stopRequested() override { return stop_.load(std::memory_order_relaxed); }
    void progress(const quelby::RunProgress& progress) override;

    // Every line the run has finished so far, in walk order.
    std::string pendingText;

private:
    const std::atomic<bool>& stop_;
    ShowNotices showNotices_;
    ShowFigures showFigures_;
    ProgressThrottle throttle_;
};
