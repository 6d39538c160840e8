#include "app/app_delegate.h"

#include "app/about_box.h"
#include "app/preferences_dialog.h"
#include "shell_config.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

QUrl shippedSupportAddress()
{
    return QUrl(QString::fromUtf8(quelby::kSupportAddress));
}

AppDelegate::AppDelegate(ShellSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup)),
      alerts_(setup_.alerts != nullptr ? *setup_.alerts : messageBoxes_),
      urls_(setup_.urls != nullptr ? *setup_.urls : browser_),
      updateCheck_(std::make_unique<UpdateCheck>(setup_.updateSite, alerts_, urls_, this))
{
    if (setup_.supportAddress.isEmpty()) {
        setup_.supportAddress = shippedSupportAddress();
    }
}

AppDelegate::~AppDelegate()
{
    delete aboutBox_;
    delete preferences_;
}

QAction* AppDelegate::addPreferencesItem(QMenuBar* menuBar)
{
    auto* edit = menuBar->findChild<QMenu*>(QStringLiteral("editMenu"));
    if (edit == nullptr) {
        edit = new QMenu(tr("&Edit"), menuBar);
        edit->setObjectName(QStringLiteral("editMenu"));
        const QList<QAction*> menus = menuBar->actions();
        menuBar->insertMenu(menus.size() > 1 ? menus.at(1) : nullptr, edit);
    }
    if (!edit->isEmpty()) {
        edit->addSeparator();
    }
    QAction* preferences =
        edit->addAction(tr("&Preferences…"), this, &AppDelegate::showPreferences);
    preferences->setObjectName(QStringLiteral("actionPreferences"));
    preferences->setMenuRole(QAction::PreferencesRole);
    // Most Linux desktops name no key for Preferences; Ctrl+, is the one their apps share.
    preferences->setShortcut(QKeySequence::keyBindings(QKeySequence::Preferences).isEmpty()
                                 ? QKeySequence(tr("Ctrl+,"))
                                 : QKeySequence(QKeySequence::Preferences));
    return preferences;
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

    helpMenu_ = help;
    updateCheck_->setHelpMenu(help);
    return help;
}

void AppDelegate::applicationDidFinishLaunching()
{
    scheduleUpdateCheck();
}

void AppDelegate::scheduleUpdateCheck()
{
    // The code-signature self-check has no counterpart for a Linux build.
    std::unique_ptr<QSettings> settings = setup_.openSettings();
    // Nothing goes out to the network until the user has said whether it may.
    if (!settings->contains(kNoUpdateCheckKey)) {
        const Alert question{Alert::Style::informational,
                             tr("Check for updates automatically?"),
                             tr("Quelby can look twice a day for a newer version and offer it. "
                                "The Help menu says when it last looked."),
                             {tr("No"), tr("Yes")}};
        settings->setValue(kNoUpdateCheckKey, alerts_.run(question) != 1);
    }
    ::scheduleUpdateCheck(*settings, setup_.clock, [this] { updateCheck_->checkForUpdate(); });
}

PreferencesDialog* AppDelegate::preferences() const
{
    return preferences_;
}

void AppDelegate::showPreferences()
{
    if (preferences_ == nullptr) {
        preferences_ = new PreferencesDialog(setup_.openSettings);
        // Switched on, a check that is due goes out now rather than at the next start; switched
        // off, none goes out, since every check is scheduled from this same setting.
        connect(preferences_, &PreferencesDialog::updateCheckChanged, this,
                [this](bool checksForUpdates) {
                    if (checksForUpdates) {
                        ::scheduleUpdateCheck(*setup_.openSettings(), setup_.clock,
                                              [this] { updateCheck_->checkForUpdate(); });
                    }
                });
    }
    preferences_->show();
    preferences_->raise();
    preferences_->activateWindow();
}

void AppDelegate::openRef()
{
    // Every choice opens one more window; an open one is not reused.
    auto window = std::make_unique<RefViewController>(setup_.manualPath);
    window->show();
    myRefWindow.push_back(std::move(window));
}

void AppDelegate::openSupport()
{
    urls_.open(setup_.supportAddress);
}

AboutBox* AppDelegate::aboutBox() const
{
    return aboutBox_;
}

void AppDelegate::showAbout()
{
    if (aboutBox_ == nullptr) {
        aboutBox_ = new AboutBox();
    }
    aboutBox_->show();
    aboutBox_->raise();
    aboutBox_->activateWindow();
}
