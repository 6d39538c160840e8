#include "app/command_line.h"

namespace {

bool isHelp(const std::string& argument)
{
    return argument == "--help" || argument == "-h";
}

bool isVersion(const std::string& argument)
{
    return argument == "--version" || argument == "-v";
}

} // namespace

AppCommandLine parseAppCommandLine(const std::vector<std::string>& arguments)
{
    AppCommandLine line;
    bool onlyFolders = false;
    for (const std::string& argument : arguments) {
        if (onlyFolders || argument.empty() || argument.front() != '-' || argument == "-") {
            line.folders.push_back(argument);
        } else if (argument == "--") {
            onlyFolders = true;
        } else if (argument == "--problems") {
            line.showProblems = true;
        } else if (isHelp(argument)) {
            return {AppCommandLine::Action::showHelp, {}, {}, false};
        } else if (isVersion(argument)) {
            return {AppCommandLine::Action::showVersion, {}, {}, false};
        } else {
            return {AppCommandLine::Action::usageError,
                    {},
                    "quelby: unknown option " + argument +
                        " (a folder whose name begins with - goes after --)\n"
                        "Try 'quelby --help' for more information.\n",
                    false};
        }
    }
    return line;
}

bool asksForTextOnly(int argc, const char* const* argv)
{
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            return false;
        }
        if (isHelp(argument) || isVersion(argument)) {
            return true;
        }
    }
    return false;
}

std::string appHelpText()
{
    return "Usage: quelby [OPTION]... [FOLDER]...\n"
           "Opens the Quelby window, which tags folders with SHA-256 digests kept on each file\n"
           "and checks them later. Each FOLDER named is checked at once, as when a file\n"
           "manager opens folders with Quelby.\n"
           "\n"
           "  --problems     show the open problems of every scrubbed folder\n"
           "  -h, --help     show this help and exit\n"
           "  -v, --version  show the version and exit\n"
           "  --             take every argument after it as a FOLDER\n"
           "\n"
           "The options of the Qt toolkit (-platform, -style, ...) are taken too.\n"
           "quelby-cli does the same from a terminal; see quelby(1) and quelby-cli(1).\n";
}

std::string appVersionText(const std::string& version)
{
    return "quelby " + version + "\n";
}
