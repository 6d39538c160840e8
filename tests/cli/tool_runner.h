#pragma once

// Runs quelby-cli for a test: in this process on string streams, or as the
// built tool in a child process, the way a shell would.

#include "cli/cli.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace quelby::cli {

// The exit status (minus the signal that killed the process), standard output, standard error.
using Outcome = std::tuple<int, std::string, std::string>;

inline Outcome runInProcess(const std::vector<std::string>& args, const CliEnvironment& environment = {})
{
    std::ostringstream out;
    std::ostringstream err;
    return {run(args, out, err, environment), out.str(), err.str()}; // in order, left to right
}

// Everything the descriptor got, from its start; closes it.
inline std::string drained(int fd)
{
    std::string text;
    char chunk[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got = 0; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

// Runs the built tool as a shell would, outFd (if given) its standard output and inFd its
// standard input. With a stop signal, standard error is a 50-column terminal and the signal
// goes once that shows the walk. A tool still running after a minute is ended by SIGALRM.
inline Outcome runTool(std::vector<std::string> args, int outFd = -1, int stopSignal = 0,
                       int inFd = -1)
{
    const int out = ::memfd_create("out", MFD_CLOEXEC);
    int terminal = -1;
    int err = stopSignal != 0 ? -1 : ::memfd_create("err", MFD_CLOEXEC);
    const winsize narrow{24, 50, 0, 0};
    if (stopSignal != 0 && ::openpty(&terminal, &err, nullptr, nullptr, &narrow) == 0) {
        ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
    }
    args.insert(args.begin(), QUELBY_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& word : args) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(outFd >= 0 ? outFd : out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (inFd >= 0) {
            ::dup2(inFd, STDIN_FILENO);
        }
        ::alarm(60);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (stopSignal != 0) {
        ::close(err); // the terminal keeps what it got and reads as EIO once the tool is gone
        err = terminal;
        pollfd shown{terminal, POLLIN, 0};
        ::poll(&shown, 1, 30000);
        ::kill(child, stopSignal);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), drained(out),
            drained(err)};
}

// run() in this process with "/" as its working folder.
inline Outcome runFromRoot(const std::vector<std::string>& args, CliEnvironment environment = {})
{
    environment.workingFolder = std::string("/");
    return runInProcess(args, environment);
}

} // namespace quelby::cli
