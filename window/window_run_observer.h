#pragma once

// How a window run follows its walk. It lives on the walk's own thread: it
// keeps the run's text until the end, each line with the kind its file's
// result gives it, and hands Tag's notices and throttled progress figures to
// the window through the callbacks it is given, which make the hop to the
// main thread themselves.

#include "engine/run/run.h"
#include "window/line_kinds.h"
#include "window/run_progress.h"

#include <atomic>
#include <expected>
#include <functional>
#include <string>

// What follows a finished walk's lines: where its digests are kept (with a
// manifest), a manifest that could not be written (stored, the store's
// finish), then its summary or Stopped line. notice comes first when there is one.
KindedText runClosingText(const quelby::RunOptions& options, const quelby::RunState& state,
                          const std::string& notice,
                          const std::expected<void, std::string>& stored);

// Finishes the run's store: one that could not be written is one more failure of the run.
std::expected<void, std::string> finishStore(const quelby::RunOptions& options,
                                             quelby::RunState& state);

// The lines and notices of each entry, with their kinds: a one-file run's whole report.
class EntryLines : public quelby::RunObserver
{
public:
    explicit EntryLines(quelby::Operation operation) : operation_(operation) {}
    void entryDone(const quelby::EntryOutcome& outcome) override;

    KindedText lines;

private:
    quelby::Operation operation_;
};

class WindowRunObserver : public quelby::RunObserver {
public:
    using ShowNotices = std::function<void(KindedText notices)>;
    using ShowFigures = std::function<void(ProgressFigures figures)>;

    WindowRunObserver(quelby::Operation operation, const std::atomic<bool>& stop,
                      ShowNotices showNotices, ShowFigures showFigures);

    void entryDone(const quelby::EntryOutcome& outcome) override;
    bool stopRequested() override { return stop_.load(std::memory_order_relaxed); }
    void progress(const quelby::RunProgress& progress) override;

    // Every line the run has finished so far, in walk order.
    KindedText pendingText;

private:
    quelby::Operation operation_;
    const std::atomic<bool>& stop_;
    ShowNotices showNotices_;
    ShowFigures showFigures_;
    ProgressThrottle throttle_;
};
