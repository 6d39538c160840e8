#include "app/app_delegate.h"
#include "shell_config.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QDockWidget>
#include <QIcon>
#include <QMenuBar>
#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("mossgroveware"));
    QApplication::setApplicationName(QStringLiteral("Quelby"));
    QApplication::setApplicationVersion(QString::fromLatin1(quelby::kAppVersion));
    QApplication::setDesktopFileName(QStringLiteral("co.mossgroveware.Quelby"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("co.mossgroveware.Quelby")));

    ShellSetup setup;
    setup.openSettings = &openUserSettings;
    AppDelegate delegate(std::move(setup));
    ViewController window;
    delegate.addHelpMenu(window.menuBar());
    std::vector<std::string> folders(argv + 1, argv + argc);
    // "quelby --problems": the Problems view, whether or not it holds any.
    if (const auto asked = std::ranges::find(folders, std::string("--problems"));
        asked != folders.end()) {
        folders.erase(asked);
        window.problemsDock->show();
    }
    window.show();
    // "quelby FOLDER…", as a file manager opens folders with it: a Check of each. The
    // application took its own options out of argv; the rest are byte paths, never decoded.
    window.startRuns(quelby::Operation::check, folders);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
