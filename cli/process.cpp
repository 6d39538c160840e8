// What run() needs from the real process: its working folder, whether its
// standard error is a terminal and how wide, and the signals that stop it.

#include "cli.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby::cli {

namespace {

std::atomic<int> stopSignalReceived{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void requestStop(int signal)
{
    stopSignalReceived.store(signal);
}

std::expected<std::string, std::string> currentWorkingFolder()
{
    // Bytes as the system gives them, however long.
    const std::unique_ptr<char, decltype(&std::free)> folder(::getcwd(nullptr, 0), &std::free);
    if (!folder) {
        return std::unexpected(std::string(std::strerror(errno)));
    }
    return std::string(folder.get());
}

int standardErrorWidth()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

} // namespace

bool outputAllowsProgress(int fd)
{
    struct stat output = {};
    if (::fstat(fd, &output) != 0) {
        return false;
    }
    if (S_ISREG(output.st_mode) || ::isatty(fd) == 1) {
        return true;
    }
    struct stat null = {};
    return S_ISCHR(output.st_mode) && ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
           output.st_rdev == null.st_rdev;
}

void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // A second signal of the same kind ends the process at once, for a walk
    // stuck in a read that never returns.
    action.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
    // A signal the parent chose to ignore (a background job of a script) stays ignored.
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction inherited = {};
        if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err)
{
    CliEnvironment environment;
    environment.workingFolder = currentWorkingFolder();
    environment.errorIsTerminal = ::isatty(STDERR_FILENO) == 1;
    environment.outputAllowsProgress = outputAllowsProgress(STDOUT_FILENO);
    environment.terminalWidth = standardErrorWidth;
    environment.stopSignal = [] { return stopSignalReceived.load(std::memory_order_relaxed); };
    return run(args, out, err, environment);
}

} // namespace quelby::cli
