#include "app/app_delegate.h"

#include "app/about_box.h"
#include "shell_config.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

QUrl shippedSupportAddress()
{
    return QUrl(QString::fromUtf8(quelby::kSupportAddress));
}

AppDelegate::AppDelegate(ShellSetup setup, QObject* parent)
    : QObject(parent), mySetup(std::move(setup)),
      myAlerts(mySetup.alerts != nullptr ? *mySetup.alerts : myMessageBoxes),
      myUrls(mySetup.urls != nullptr ? *mySetup.urls : myBrowser),
      myUpdateCheck(std::make_unique<UpdateCheck>(mySetup.updateSite, myAlerts, myUrls, this))
{
    if (mySetup.supportAddress.isEmpty()) {
        mySetup.supportAddress = shippedSupportAddress();
    }
}

AppDelegate::~AppDelegate()
{
    delete myAboutBox;
}

QMenu* AppDelegate::addHelpMenu(QMenuBar* menuBar)
{
    QMenu* help = menuBar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));

    QAction* openHelp = help->addAction(tr("Quelby Help"), this, &AppDelegate::openRef);
    openHelp->setObjectName(QStringLiteral("actionHelp"));
    openHelp->setShortcut(QKeySequence::HelpContents);

    QAction* support = help->addAction(tr("Quelby Support Page"), this, &AppDelegate::openSupport);
    support->setObjectName(QStringLiteral("actionSupport"));

    help->addSeparator();
    // A status line, not a command: the update check gives it a check mark.
    QAction* updateStatus = help->addAction(QString::fromLatin1(kUpdateNotCheckedTitle));
    updateStatus->setObjectName(QStringLiteral("actionUpdateStatus"));
    updateStatus->setEnabled(false);

    help->addSeparator();
    QAction* about = help->addAction(tr("About Quelby"), this, &AppDelegate::showAbout);
    about->setObjectName(QStringLiteral("actionAbout"));
    about->setMenuRole(QAction::AboutRole);

    myHelpMenu = help;
    myUpdateCheck->setHelpMenu(help);
    return help;
}

void AppDelegate::applicationDidFinishLaunching()
{
    scheduleUpdateCheck();
}

void AppDelegate::scheduleUpdateCheck()
{
    // The code-signature self-check has no counterpart for a Linux build.
    std::unique_ptr<QSettings> settings = mySetup.openSettings();
    ::scheduleUpdateCheck(*settings, mySetup.clock, [this] { myUpdateCheck->checkForUpdate(); });
}

void AppDelegate::openRef()
{
    // Every choice opens one more window; an open one is not reused.
    auto window = std::make_unique<RefViewController>(mySetup.manualPath);
    window->show();
    myRefWindow.push_back(std::move(window));
}

void AppDelegate::openSupport()
{
    myUrls.open(mySetup.supportAddress);
}

AboutBox* AppDelegate::aboutBox() const
{
    return myAboutBox;
}

void AppDelegate::showAbout()
{
    if (myAboutBox == nullptr) {
        myAboutBox = new AboutBox();
    }
    myAboutBox->show();
    myAboutBox->raise();
    myAboutBox->activateWindow();
}
