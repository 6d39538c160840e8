#include "app/app_delegate.h"
#include "app/command_line.h"
#include "shell_config.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QDockWidget>
#include <QIcon>
#include <QMenuBar>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int printed(const std::string& text, std::FILE* stream, int status)
{
    std::fputs(text.c_str(), stream);
    return std::fflush(stream) == 0 ? status : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // Answered before the application starts, which needs a display.
    if (const AppCommandLine early = parseBeforeStart(argc, argv);
        early.action != AppCommandLine::Action::openWindow) {
        if (early.action == AppCommandLine::Action::usageError) {
            return printed(early.error, stderr, 2);
        }
        return printed(early.action == AppCommandLine::Action::showVersion
                           ? appVersionText(quelby::kAppVersion)
                           : appHelpText(),
                       stdout, 0);
    }
    QApplication application(argc, argv);
    // The application took its own options out of argv; the rest are byte paths, never decoded.
    const AppCommandLine line =
        parseAppCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.action == AppCommandLine::Action::usageError) {
        return printed(line.error, stderr, 2);
    }
    QApplication::setOrganizationName(QStringLiteral("mossgroveware"));
    QApplication::setApplicationName(QStringLiteral("Quelby"));
    QApplication::setApplicationVersion(QString::fromLatin1(quelby::kAppVersion));
    QApplication::setDesktopFileName(QStringLiteral("co.mossgroveware.Quelby"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("co.mossgroveware.Quelby")));

    ShellSetup setup;
    setup.openSettings = &openUserSettings;
    AppDelegate delegate(std::move(setup));
    ViewController window;
    delegate.addPreferencesItem(window.menuBar());
    delegate.addHelpMenu(window.menuBar());
    if (line.showProblems) {
        window.problemsDock->show();
    }
    window.show();
    // "quelby FOLDER…", as a file manager opens folders with it: a Check of each.
    window.startRuns(quelby::Operation::check, line.folders);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
