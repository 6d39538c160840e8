#include "cli.h"

#include "engine/display_text.h"
#include "fd_stream.h"
#include "options.h"

#include <cerrno>
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
// of its way. The first failed write ends the run.
class ReportWriter
{
public:
    ReportWriter(std::ostream& out, ProgressLine* progressLine)
        : out_(out), progressLine_(progressLine)
    {
    }

    void write(std::string_view text)
    {
        if (failed_) {
            return;
        }
        if (progressLine_) {
            progressLine_->erase();
        }
        out_ << text;
        out_.flush();
        failed_ = !out_;
        if (progressLine_ && !failed_) {
            progressLine_->restore();
        }
    }

    bool failed() const { return failed_; }

private:
    std::ostream& out_;
    ProgressLine* progressLine_;
    bool failed_ = false;
};

class CliObserver : public RunObserver
{
public:
    CliObserver(ReportWriter& report, ProgressLine* progressLine, const CliEnvironment& environment)
        : report_(report), progressLine_(progressLine), environment_(environment)
    {
    }

    void notice(std::string_view text) override { report_.write(text); }

    void progress(const RunProgress& progress) override
    {
        if (progressLine_) {
            progressLine_->update(progress, environment_.now());
        }
    }

    bool stopRequested() override { return report_.failed() || environment_.stopSignal() != 0; }

private:
    ReportWriter& report_;
    ProgressLine* progressLine_;
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
    if (auto valid = validateRunOptions(options); !valid) {
        sayError(err, valid.error());
        return kExitUsage;
    }

    std::optional<ProgressLine> progressLine;
    if (environment.errorIsTerminal && !cliOptions.quiet) {
        progressLine.emplace(err, environment.terminalWidth, environment.now());
    }
    ProgressLine* shownProgress = progressLine ? &*progressLine : nullptr;
    ReportWriter report(out, shownProgress);
    CliObserver observer(report, shownProgress, environment);

    const RunState state = walkFolder(options, observer);

    if (progressLine) {
        progressLine->finish();
    }
    // A stopped run is no finished run: its text never reaches the report.
    if (state.stopped) {
        const int signal = environment.stopSignal();
        return signal != 0 ? 128 + signal : statusAfterFailedOutput(out, err);
    }
    report.write(finishedRunText(options, state) + "\n");
    if (report.failed()) {
        return statusAfterFailedOutput(out, err);
    }
    return state.failureCount > 0 ? kExitFailures : kExitSuccess;
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
