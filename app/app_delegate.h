// The application's delegate: the launch hook, the Help menu and its actions.
// Help windows are kept until the application ends, even after they close.
#pragma once

#include "window/alert_presenter.h"
#include "app/ref_view_controller.h"
#include "app/update_check.h"
#include "app/update_schedule.h"
#include "app/url_opener.h"

#include <QObject>
#include <QPointer>
#include <QSettings>
#include <functional>
#include <memory>
#include <vector>

class AboutBox;
class PreferencesDialog;
class QAction;
class QMenu;
class QMenuBar;

// What the delegate reaches outside itself; tests replace any of it.
struct ShellSetup
{
    // The settings store of the update check; the launch hook needs it.
    std::function<std::unique_ptr<QSettings>()> openSettings;
    UpdateClock clock = &QDateTime::currentDateTimeUtc;
    UpdateSite updateSite = shippedUpdateSite();
    QUrl supportAddress;
    QString manualPath = QString::fromLatin1(kManualPath);
    // Null: the real message boxes and the desktop's browser.
    AlertPresenter* alerts = nullptr;
    UrlOpener* urls = nullptr;
};

// The support page this build was configured with.
QUrl shippedSupportAddress();

// The application's delegate: starts the main window and owns the Help menu and help windows.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    explicit AppDelegate(ShellSetup setup, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Appends the Help menu to the main window's menu bar.
    QMenu* addHelpMenu(QMenuBar* menuBar);

    // Appends Preferences… to the Edit menu of the main window's menu bar, which gains one
    // after its first menu when it has none.
    QAction* addPreferencesItem(QMenuBar* menuBar);

    // The launch hook, run once the event loop has started.
    void applicationDidFinishLaunching();
    void scheduleUpdateCheck();

    void openRef();
    void openSupport();
    void showAbout();
    void showPreferences();

    const std::vector<std::unique_ptr<RefViewController>>& refWindows() const
    {
        return myRefWindow;
    }
    // Null until About Quelby was first chosen.
    AboutBox* aboutBox() const;
    // Null until Preferences… was first chosen.
    PreferencesDialog* preferences() const;
    UpdateCheck& updateCheck() { return *updateCheck_; }

private:
    ShellSetup setup_;
    MessageBoxAlertPresenter messageBoxes_;
    DesktopUrlOpener browser_;
    AlertPresenter& alerts_;
    UrlOpener& urls_;
    std::unique_ptr<UpdateCheck> updateCheck_;
    std::vector<std::unique_ptr<RefViewController>> myRefWindow;
    QPointer<AboutBox> aboutBox_;
    QPointer<PreferencesDialog> preferences_;
    QPointer<QMenu> helpMenu_;
};
