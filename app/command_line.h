#pragma once

// What `quelby` makes of its arguments once the application has taken its
// own (-platform, -style …): --help and --version print and end, --problems
// shows the open problems, every other argument is a folder to check, given as bytes so that a name that is not
// UTF-8 reaches the walk unchanged. After "--" every argument is a folder,
// even one that begins with a dash.

#include <string>
#include <vector>

struct AppCommandLine
{
    enum class Action
    {
        openWindow,
        showHelp,
        showVersion,
        usageError
    };

    Action action = Action::openWindow;
    std::vector<std::string> folders;
    // With usageError: the line that says what was wrong.
    std::string error;
    bool showProblems = false; // --problems: the Problems view, whether or not it holds any
};

AppCommandLine parseAppCommandLine(const std::vector<std::string>& arguments);

// The same, read before the application starts, which needs a display: with the toolkit's own
// options left out as the application will take them, so that --help, --version and a usage
// error are answered where no display is.
AppCommandLine parseBeforeStart(int argc, const char* const* argv);

std::string appHelpText();
std::string appVersionText(const std::string& version);
