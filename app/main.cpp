#include "app/app_delegate.h"
#include "shell_config.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QIcon>
#include <QMenuBar>
#include <QTimer>
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
    window.show();
    // "quelby FOLDER…", as a file manager opens folders with it: a Check of each. The
    // application took its own options out of argv; the rest are byte paths, never decoded.
    window.startRuns(quelby::Operation::check, std::vector<std::string>(argv + 1, argv + argc));
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
