#include "app/command_line.h"

#include <algorithm>
#include <iterator>
#include <string_view>

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

namespace {

// The toolkit's own options, which the application takes out of the arguments as it starts:
// those followed by a value, and those that stand alone. Either may be written with two dashes,
// and a value may follow an = instead.
constexpr std::string_view kToolkitOptionsWithValue[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style", "stylesheet",
    "name", "title", "visual"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "sync", "nograb",
                                              "dograb", "qmljsdebugger", "dialogs", "fontengine"};

// How many arguments from this one the toolkit takes: 0 when it is none of its options.
std::size_t toolkitArguments(std::string_view argument)
{
    if (!argument.starts_with('-')) {
        return 0;
    }
    argument.remove_prefix(argument.starts_with("--") ? 2 : 1);
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (std::ranges::find(kToolkitFlags, name) != std::end(kToolkitFlags)) {
        return 1;
    }
    if (std::ranges::find(kToolkitOptionsWithValue, name) != std::end(kToolkitOptionsWithValue)) {
        return equals == std::string_view::npos ? 2 : 1;
    }
    return 0;
}

} // namespace

AppCommandLine parseBeforeStart(int argc, const char* const* argv)
{
    std::vector<std::string> ours;
    for (int index = 1; index < argc;) {
        const std::size_t taken = toolkitArguments(argv[index]);
        if (taken == 0) {
            ours.emplace_back(argv[index]);
        }
        index += std::max<int>(static_cast<int>(taken), 1);
    }
    return parseAppCommandLine(ours);
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
