#pragma once

// Runs the built quelby-cli as a real process, as a shell would.

#include <functional>
#include <string>
#include <vector>

namespace quelby::test {

struct ChildResult
{
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

enum class Stdout
{
    pipe,
    closedPipe
};

// Runs the tool with args and waits for it.
ChildResult runCli(const std::vector<std::string>& args, Stdout stdoutKind = Stdout::pipe);

// Runs the tool with standard error on a pseudo-terminal; once the terminal
// shows something, sends the signal and waits. err holds what the terminal got.
ChildResult runCliOnTerminalAndSignal(const std::vector<std::string>& args, int signal);

} // namespace quelby::test
