#include "app/app_delegate.h"
#include "shell_config.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QIcon>
#include <QMenuBar>
#include <QTimer>

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
    // "quelby FOLDER…", as a file manager opens folders with it: a Check of each.
    window.startRuns(quelby::Operation::check, QApplication::arguments().mid(1));
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
