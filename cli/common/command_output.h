#pragma once

// What every command of quelby-cli shares on its way out: the report
// writer, the one-line error on standard error, and the checks of a folder
// named on the command line.

#include "engine/text/display_text.h"
#include "environment.h"
#include "progress_line.h"

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace quelby::cli {

inline constexpr std::string_view kProgramName = "quelby-cli";

// "quelby-cli: " and the message, on a line of its own.
void sayError(std::ostream& err, std::string_view message);

// The folder's own failure, in the system's words, before any walk starts.
// An empty argument names no folder, not the working folder it normalises to.
std::optional<std::string> folderProblem(const std::string& typed, const std::string& folder);

// The status after a write to standard output failed, said on standard error
// unless the pipe was closed.
int statusAfterFailedOutput(std::ostream& out, std::ostream& err);

// Report text on its way to standard output, with the progress line kept out
// of its way. Lines are written as their files finish, in bursts at least
// every kFlushInterval, so that a reader sees findings at once without a
// write for every line. The first failed write ends the run.
class ReportWriter
{
public:
    static constexpr auto kFlushInterval = std::chrono::milliseconds(200);
    static constexpr std::size_t kBurstBytes = 64 * 1024;

    ReportWriter(std::ostream& out, ProgressLine* progressLine, const CliEnvironment& environment)
        : out_(out), progressLine_(progressLine), environment_(environment),
          lastFlush_(environment.now())
    {
    }

    void write(std::string_view text)
    {
        pending_ += text;
        if (pending_.size() >= kBurstBytes) {
            flush();
        } else {
            flushIfDue();
        }
    }

    void flushIfDue()
    {
        if (!pending_.empty() && environment_.now() - lastFlush_ >= kFlushInterval) {
            flush();
        }
    }

    void flush()
    {
        lastFlush_ = environment_.now();
        if (failed_ || pending_.empty()) {
            pending_.clear();
            return;
        }
        if (progressLine_) {
            progressLine_->erase();
        }
        out_ << pending_;
        out_.flush();
        pending_.clear();
        failed_ = !out_;
        if (progressLine_ && !failed_) {
            progressLine_->restore();
        }
    }

    bool failed() const { return failed_; }

private:
    std::ostream& out_;
    ProgressLine* progressLine_;
    const CliEnvironment& environment_;
    std::string pending_;
    Clock::time_point lastFlush_;
    bool failed_ = false;
};

// What every command's observer does besides writing its lines: the progress
// line, the stop, and the folders -x leaves out, named on standard error.
class RunFollower
{
public:
    RunFollower(ReportWriter& report, ProgressLine* progressLine, std::ostream& err,
                const CliEnvironment& environment)
        : report_(report), progressLine_(progressLine), err_(err), environment_(environment)
    {
    }

    ReportWriter& report() { return report_; }

    void progress(const RunProgress& progress)
    {
        if (progressLine_) {
            progressLine_->update(progress, environment_.now());
        }
        report_.flushIfDue();
    }

    bool stopRequested() const { return report_.failed() || environment_.stopSignal() != 0; }

    void sayNotEntered(const std::string& rawPath)
    {
        if (progressLine_) {
            progressLine_->erase();
        }
        sayError(err_, escapedForReport(rawPath) + ": on another file system, not entered");
        if (progressLine_) {
            progressLine_->restore();
        }
    }

private:
    ReportWriter& report_;
    ProgressLine* progressLine_;
    std::ostream& err_;
    const CliEnvironment& environment_;
};

// Where a walking command writes: its progress line (drawn only when asked),
// its report, and the follower its observer reports through.
struct CommandStreams
{
    CommandStreams(bool drawProgress, std::ostream& out, std::ostream& err,
                   const CliEnvironment& environment)
        : progressLine(drawProgress ? std::make_unique<ProgressLine>(
                                          err, environment.terminalWidth, environment.now())
                                    : nullptr),
          report(out, progressLine.get(), environment),
          follower(report, progressLine.get(), err, environment)
    {
    }

    // Erases the progress line for good, before the closing lines.
    void finishProgress()
    {
        if (progressLine) {
            progressLine->finish();
        }
    }

    std::unique_ptr<ProgressLine> progressLine;
    ReportWriter report;
    RunFollower follower;
};

// A command's observer of its walk (Observer: RunObserver or RepairObserver):
// progress and stops go through the follower; the command writes its lines.
template <typename Observer>
class FollowingObserver : public Observer
{
public:
    FollowingObserver(RunFollower& follower, bool json) : follower_(follower), json_(json) {}

    void progress(const RunProgress& progress) override { follower_.progress(progress); }
    bool stopRequested() override { return follower_.stopRequested(); }

protected:
    RunFollower& follower_;
    bool json_;
};

} // namespace quelby::cli
