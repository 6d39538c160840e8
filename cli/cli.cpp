#include "cli.h"

#include "engine/display_text.h"
#include "engine/digest_pool.h"
#include "engine/report_text.h"
#include "fd_stream.h"
#include "json_report.h"
#include "options.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <sys/stat.h>

#ifndef QUELBY_VERSION
#error "QUELBY_VERSION must name the project's version"
#endif

namespace quelby::cli {

namespace {

constexpr std::string_view kProgramName = "quelby-cli";
constexpr int kExitClosedPipe = 128 + SIGPIPE;

void sayError(std::ostream& err, std::string_view message)
{
    err << kProgramName << ": " << message << '\n';
    err.flush();
}

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

class CliObserver : public RunObserver
{
public:
    CliObserver(ReportWriter& report, ProgressLine* progressLine, std::ostream& err, bool json,
                const CliEnvironment& environment)
        : report_(report), progressLine_(progressLine), err_(err), json_(json),
          environment_(environment)
    {
    }

    // A Tag notice stands at its file's place, after that file's line.
    void entryDone(const EntryOutcome& outcome) override
    {
        if (json_) {
            report_.write(jsonEntryLine(outcome));
        } else {
            report_.write(outcome.lines);
            report_.write(outcome.notices);
        }
        if (outcome.otherDevice) {
            if (progressLine_) {
                progressLine_->erase();
            }
            sayError(err_, escapedForReport(outcome.path) + ": on another file system, not entered");
            if (progressLine_) {
                progressLine_->restore();
            }
        }
    }

    void progress(const RunProgress& progress) override
    {
        if (progressLine_) {
            progressLine_->update(progress, environment_.now());
        }
        report_.flushIfDue();
    }

    bool stopRequested() override { return report_.failed() || environment_.stopSignal() != 0; }

private:
    ReportWriter& report_;
    ProgressLine* progressLine_;
    std::ostream& err_;
    bool json_;
    const CliEnvironment& environment_;
};

// The folder's own failure, in the system's words, before any walk starts.
// An empty argument names no folder, not the working folder it normalises to.
std::optional<std::string> folderProblem(const std::string& typed, const std::string& folder)
{
    if (typed.empty()) {
        return std::strerror(ENOENT);
    }
    if (folder.find('\0') != std::string::npos) {
        return std::strerror(EINVAL);
    }
    struct stat info = {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return std::strerror(ENOTDIR);
    }
    return std::nullopt;
}

int statusAfterFailedOutput(std::ostream& out, std::ostream& err)
{
    const int error = writeErrorOf(out);
    if (error == EPIPE) {
        return kExitClosedPipe;
    }
    sayError(err, std::string("cannot write the report to standard output") +
                      (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    return kExitFailures;
}

// What follows the last file: the summary, or the Stopped line of a run that
// was stopped, which keeps what it found but is no finished run.
std::string closingText(const RunOptions& options, const RunState& state, bool json,
                        double seconds)
{
    if (json) {
        return jsonSummaryLine(options, state, seconds);
    }
    if (state.stopped) {
        return stoppedText(options, state);
    }
    std::string text = summaryText(options, state) + "\n";
    if (options.explain) {
        text += report::verdictsLine(state);
    }
    return text;
}

int runWalk(const CliOptions& cliOptions, std::ostream& out, std::ostream& err,
            const CliEnvironment& environment)
{
    std::string workingFolder;
    if (!cliOptions.folder.starts_with('/')) {
        if (!environment.workingFolder) {
            sayError(err, "cannot find the working folder: " + environment.workingFolder.error());
            return kExitUsage;
        }
        workingFolder = *environment.workingFolder;
    }
    const std::string folder = normalisedFolder(cliOptions.folder, workingFolder);
    if (auto problem = folderProblem(cliOptions.folder, folder)) {
        sayError(err, escapedForReport(cliOptions.folder) + ": " + *problem);
        return kExitUsage;
    }

    RunOptions options;
    options.operation = cliOptions.operation;
    options.folder = folder;
    options.verbose = cliOptions.verbose;
    options.timeStamps = cliOptions.timeStamps;
    options.backEnd = platformDigestBackEnd();
    options.setBufferSize = cliOptions.buffer.setBufferSize;
    options.realBufferSize = cliOptions.buffer.realBufferSize;
    options.explain = cliOptions.explain;
    options.onlyEdited = cliOptions.onlyEdited;
    options.details = cliOptions.json;
    options.oneFileSystem = cliOptions.oneFileSystem;
    std::vector<std::string> patterns = cliOptions.excludePatterns;
    for (const std::string& file : cliOptions.excludeFiles) {
        auto more = patternsFromFile(file);
        if (!more) {
            sayError(err, escapedForReport(file) + ": " + more.error());
            return kExitUsage;
        }
        patterns.insert(patterns.end(), more->begin(), more->end());
    }
    options.exclusions = Exclusions(patterns);
    options.jobs = cliOptions.jobs != 0 ? cliOptions.jobs : defaultDigestJobs(folder);
    if (auto valid = validateRunOptions(options); !valid) {
        sayError(err, valid.error());
        return kExitUsage;
    }
    const Clock::time_point started = environment.now();

    std::optional<ProgressLine> progressLine;
    if (environment.errorIsTerminal && !cliOptions.quiet) {
        progressLine.emplace(err, environment.terminalWidth, environment.now());
    }
    ProgressLine* shownProgress = progressLine ? &*progressLine : nullptr;
    ReportWriter report(out, shownProgress, environment);
    CliObserver observer(report, shownProgress, err, cliOptions.json, environment);

    std::optional<DigestPool> pool;
    if (options.jobs > 1) {
        pool.emplace(options.jobs);
    }
    const RunState state = walkFolder(options, observer, pool ? &*pool : nullptr);

    if (progressLine) {
        progressLine->finish();
    }
    report.write(closingText(options, state, cliOptions.json,
                             std::chrono::duration<double>(environment.now() - started).count()));
    report.flush();
    if (options.operation == Operation::check && state.unsupportedCount > 0) {
        sayError(err, escapedForReport(folder) + ": " + std::to_string(state.unsupportedCount) +
                          " files have no digest because their file system does not keep "
                          "extended attributes");
    }
    if (state.stopped && environment.stopSignal() != 0) {
        return 128 + environment.stopSignal();
    }
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    if (state.failureCount > 0) {
        return kExitFailures;
    }
    return options.operation == Operation::check && state.noDigestCount > 0 ? kExitNoDigest
                                                                            : kExitSuccess;
}

} // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment)
{
    const CommandLine commandLine = validatedCommandLine(rawArguments(args));
    if (const auto* usage = std::get_if<UsageError>(&commandLine)) {
        sayError(err, usage->message + " (see " + std::string(kProgramName) + " --help)");
        return kExitUsage;
    }
    if (std::holds_alternative<ShowHelp>(commandLine) ||
        std::holds_alternative<ShowVersion>(commandLine)) {
        out << (std::holds_alternative<ShowHelp>(commandLine)
                    ? helpText()
                    : std::string(kProgramName) + " " + QUELBY_VERSION + "\n");
        out.flush();
        return out ? kExitSuccess : statusAfterFailedOutput(out, err);
    }
    return runWalk(std::get<CliOptions>(commandLine), out, err, environment);
}

} // namespace quelby::cli
