#include "child_process.h"

#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby::test {

namespace {

// Starts the tool with the given descriptors as its standard output and error.
pid_t startCli(const std::vector<std::string>& args, int outFd, int errFd)
{
    std::vector<std::string> words{QUELBY_CLI_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

int statusOf(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the descriptors until each reaches its end.
void readAll(const std::vector<std::pair<int, std::string*>>& sources)
{
    std::vector<pollfd> open;
    for (const auto& source : sources) {
        open.push_back({source.first, POLLIN, 0});
    }
    std::array<char, 65536> chunk{};
    while (!open.empty()) {
        ::poll(open.data(), open.size(), -1);
        for (std::size_t i = 0; i < open.size();) {
            const ssize_t got =
                open[i].revents != 0 ? ::read(open[i].fd, chunk.data(), chunk.size()) : -2;
            if (got > 0) {
                for (const auto& source : sources) {
                    if (source.first == open[i].fd) {
                        source.second->append(chunk.data(), static_cast<std::size_t>(got));
                    }
                }
            }
            if (got == 0 || got == -1) {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
}

} // namespace

ChildResult runCli(const std::vector<std::string>& args, Stdout stdoutKind)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        std::abort();
    }
    if (stdoutKind == Stdout::closedPipe) {
        ::close(outPipe[0]);
    }
    const pid_t child = startCli(args, outPipe[1], errPipe[1]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ChildResult result;
    std::vector<std::pair<int, std::string*>> sources{{errPipe[0], &result.err}};
    if (stdoutKind == Stdout::pipe) {
        sources.emplace_back(outPipe[0], &result.out);
    }
    readAll(sources);
    for (const auto& source : sources) {
        ::close(source.first);
    }
    result.status = statusOf(child);
    return result;
}

ChildResult runCliOnTerminalAndSignal(const std::vector<std::string>& args, int signal)
{
    int terminal = -1;
    int terminalSide = -1;
    int outPipe[2];
    if (::openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr) != 0 ||
        ::pipe2(outPipe, O_CLOEXEC) != 0) {
        std::abort();
    }
    ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminalSide, F_SETFD, FD_CLOEXEC);
    const pid_t child = startCli(args, outPipe[1], terminalSide);
    ::close(outPipe[1]);
    ::close(terminalSide);

    ChildResult result;
    std::array<char, 4096> chunk{};
    // The first drawing of the progress line shows the walk is under way.
    pollfd waitForTerminal{terminal, POLLIN, 0};
    if (::poll(&waitForTerminal, 1, 30000) == 1) {
        const ssize_t got = ::read(terminal, chunk.data(), chunk.size());
        if (got > 0) {
            result.err.append(chunk.data(), static_cast<std::size_t>(got));
        }
    }
    ::kill(child, signal);
    readAll({{outPipe[0], &result.out}});
    ::close(outPipe[0]);
    result.status = statusOf(child);
    // Whatever the terminal still holds (a closed pty reads as EIO, not EOF).
    while (true) {
        pollfd more{terminal, POLLIN, 0};
        if (::poll(&more, 1, 0) != 1) {
            break;
        }
        const ssize_t got = ::read(terminal, chunk.data(), chunk.size());
        if (got <= 0) {
            break;
        }
        result.err.append(chunk.data(), static_cast<std::size_t>(got));
    }
    ::close(terminal);
    return result;
}

} // namespace quelby::test
