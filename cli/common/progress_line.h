#pragma once

// The one line on standard error that shows a long walk is alive: files done,
// bytes done, speed and the current file, redrawn a few times a second and
// erased whenever report text is about to reach the same terminal.

#include "engine/run/run.h"
#include "environment.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace quelby::cli {

// The line's text, cut to fit in width columns; the path loses its start first.
std::string progressText(const RunProgress& progress, double seconds, int width);

class ProgressLine
{
public:
    ProgressLine(std::ostream& terminal, std::function<int()> terminalWidth,
                 Clock::time_point start);

    // Draws the line afresh when the last drawing is older than the redraw interval.
    void update(const RunProgress& progress, Clock::time_point now);
    // Takes the line off the terminal (before report text is written there).
    void erase();
    // Puts back what erase() took away.
    void restore();
    // Takes the line away for good: the walk is over.
    void finish();

private:
    void draw(const std::string& text);

    std::ostream& terminal_;
    std::function<int()> terminalWidth_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_;
    std::string shown_; // what the terminal shows now; empty when nothing
    std::string erased_;
    bool finished_ = false;
};

} // namespace quelby::cli
