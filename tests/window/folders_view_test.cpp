// The Folders view and Check regularly: rows from a state quelby-cli scrub
// made, schedules turned on and off through a stand-in systemd user manager
// on a private bus, and Verify now writing the state the command line reads.

#include "support/temp_tree.h"
#include "support/private_bus.h"
#include "window/folders_view.h"
#include "window/line_colours.h"
#include "window/report_view.h"
#include "window/user_timers.h"
#include "window/view_controller.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

#include <atomic>
#include <optional>

using quelby::test::TempTree;

using quelby::test::PrivateBus;

namespace {

// The manager's methods Check regularly calls, each heard as one line; it may
// refuse to enable a unit, as a manager does for a user it does not serve.
class FakeUserManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")

public:
    QStringList calls;
    std::atomic<bool> refusesToEnable = false;

public slots:
    void Reload() { calls.append(QStringLiteral("Reload")); }
    void EnableUnitFiles(const QStringList& files, bool runtime, bool force)
    {
        calls.append(QStringLiteral("EnableUnitFiles %1 %2 %3")
                         .arg(files.join(','), runtimeText(runtime), runtimeText(force)));
        if (refusesToEnable) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Access denied"));
        }
    }
    void DisableUnitFiles(const QStringList& files, bool runtime)
    {
        calls.append(
            QStringLiteral("DisableUnitFiles %1 %2").arg(files.join(','), runtimeText(runtime)));
    }
    QDBusObjectPath StartUnit(const QString& name, const QString& mode)
    {
        calls.append(QStringLiteral("StartUnit %1 %2").arg(name, mode));
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1"));
    }
    QDBusObjectPath StopUnit(const QString& name, const QString& mode)
    {
        calls.append(QStringLiteral("StopUnit %1 %2").arg(name, mode));
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/2"));
    }

private:
    static QString runtimeText(bool value) { return value ? "true" : "false"; }
};

// Runs quelby-cli; its standard output, or the test fails.
QByteArray runCli(const QStringList& arguments)
{
    QProcess cli;
    cli.start(QStringLiteral(QUELBY_CLI_PATH), arguments);
    if (!cli.waitForFinished(60000) || cli.exitStatus() != QProcess::NormalExit) {
        qWarning("quelby-cli %s did not finish", qPrintable(arguments.join(' ')));
        return {};
    }
    return cli.readAllStandardOutput();
}

} // namespace

class FoldersViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void timerInstancesAreNamedAsSystemdEscapeDoes()
    {
        const std::pair<std::string, QString> rows[] = {
            {"/", "-"},
            {"/home/sam/Pictures", "home-sam-Pictures"},
            {"//home/sam/my-photos 2024/", "home-sam-my\\x2dphotos\\x202024"},
            {"/.hidden/.also/caf\xC3\xA9", "\\x2ehidden-.also-caf\\xc3\\xa9"},
        };
        for (const auto& [folder, instance] : rows) {
            QCOMPARE(timerInstance(folder), instance);
        }
        QCOMPARE(folderOfInstance("home-sam-my\\x2dphotos\\x202024"),
                 std::optional<std::string>("/home/sam/my-photos 2024"));
        QCOMPARE(folderOfInstance("\\x2ehidden-.also-caf\\xc3\\xa9"),
                 std::optional<std::string>("/.hidden/.also/caf\xC3\xA9"));
    }

    // Reads a state a real scrub wrote: the share, files without a digest, where digests are
    // kept, problems in red.
    void theViewShowsTheFoldersAScrubLeftInTheState()
    {
        TempTree tree;
        const std::string folder = tree.folder("photos");
        tree.file("photos/a.jpg", "aaaa");
        const std::string damaged = tree.file("photos/b.jpg", "bbbb");
        const QString state = QString::fromStdString(tree.path("state/scrub.sqlite"));
        runCli({"tag", QString::fromStdString(folder)});
        quelby::test::writeWholeFile(damaged, "BBBB");
        tree.file("photos/untagged.jpg", "cccc");
        runCli({"scrub", "--state", state, QString::fromStdString(folder)});

        SystemdUserTimers timers(QDBusConnection::connectToBus("unix:path=/nonexistent", "none"),
                                 QString::fromStdString(tree.path("config")));
        FoldersView view(timers, state.toStdString());
        QCOMPARE(view.list->accessibleName(), QStringLiteral("Folders"));
        QCOMPARE(view.checkRegularly->accessibleName(), QStringLiteral("Check regularly"));
        for (QWidget* control : std::initializer_list<QWidget*>{
                 view.periodBox, view.verifyNowButton, view.addFolderButton}) {
            QVERIFY(!control->accessibleName().isEmpty());
            QVERIFY(!control->toolTip().isEmpty());
        }
        QCOMPARE(view.list->topLevelItemCount(), 1);
        const QTreeWidgetItem* row = view.list->topLevelItem(0);
        QCOMPARE(row->text(FoldersView::folderColumn), QString::fromStdString(folder));
        QCOMPARE(row->text(FoldersView::shareColumn),
                 QStringLiteral("66 % verified in the last 30 days; 1 file not protected"));
        QCOMPARE(row->foreground(FoldersView::shareColumn).color(),
                 lineColours(view.palette())[static_cast<int>(LineKind::warning)]);
        const bool inManifest = QFileInfo::exists(QString::fromStdString(folder) +
                                                  "/.quelby.sha256");
        QCOMPARE(row->text(FoldersView::digestsColumn),
                 inManifest ? QString::fromStdString(folder) + "/.quelby.sha256"
                            : QStringLiteral("attributes"));
        QCOMPARE(row->text(FoldersView::problemsColumn), QStringLiteral("1"));
        QCOMPARE(row->foreground(FoldersView::problemsColumn).color(),
                 lineColours(view.palette())[static_cast<int>(LineKind::failure)]);
        QVERIFY(row->text(FoldersView::lastVerifiedColumn) != QStringLiteral("not yet"));
        // The first folder is selected at start.
        QCOMPARE(view.selectedFolder(), std::optional<std::string>(folder));
        QVERIFY(view.verifyNowButton->isEnabled());
        QDBusConnection::disconnectFromBus("none");
    }

    // Without a bus, or with one that has no user manager, nothing can be scheduled, and the
    // tool tip says why; with no folder the check box is shown, disabled.
    void withoutAUserManagerCheckRegularlyIsDisabledAndSaysWhy()
    {
        TempTree tree;
        PrivateBus bus;
        QVERIFY2(!bus.address().empty(), "no private dbus-daemon");
        const QString address = QString::fromStdString(bus.address());
        const QString config = QString::fromStdString(tree.path("config"));
        QDir().mkpath(config + "/timers.target.wants");
        QFile(config + "/timers.target.wants/quelby-scrub@srv-photos.timer")
            .open(QIODevice::WriteOnly);
        {
            SystemdUserTimers timers(
                QDBusConnection::connectToBus("unix:path=/nonexistent", "none"), config);
            FoldersView view(timers, {});
            QCOMPARE(view.list->topLevelItemCount(), 1);
            QCOMPARE(view.selectedFolder(), std::optional<std::string>("/srv/photos"));
            QVERIFY(!view.checkRegularly->isEnabled());
            QVERIFY2(view.checkRegularly->toolTip().contains("no session bus"),
                     qPrintable(view.checkRegularly->toolTip()));

            SystemdUserTimers noManager(QDBusConnection::connectToBus(address, "empty"),
                                        config);
            view.setTimers(noManager);
            QVERIFY(!view.checkRegularly->isEnabled());
            QVERIFY2(view.checkRegularly->toolTip().contains("does not run"),
                     qPrintable(view.checkRegularly->toolTip()));

            SystemdUserTimers nothing(QDBusConnection::connectToBus(address, "empty"),
                                      QString::fromStdString(tree.path("elsewhere")));
            view.setTimers(nothing);
            QCOMPARE(view.list->topLevelItemCount(), 0);
            QVERIFY(view.checkRegularly->isVisibleTo(&view));
            QVERIFY(!view.checkRegularly->isEnabled());
            QVERIFY(!view.verifyNowButton->isEnabled());
        }
        QDBusConnection::disconnectFromBus("none");
        QDBusConnection::disconnectFromBus("empty");
    }

    void checkRegularlyTurnsTheFoldersTimerOnAndOffWithItsPeriod()
    {
        TempTree tree;
        PrivateBus bus;
        QVERIFY2(!bus.address().empty(), "no private dbus-daemon");
        const QString address = QString::fromStdString(bus.address());
        const std::string folder = tree.folder("my-photos 2024");
        tree.file("my-photos 2024/a.jpg", "aaaa");
        const QString state = QString::fromStdString(tree.path("scrub.sqlite"));
        runCli({"tag", QString::fromStdString(folder)});
        runCli({"scrub", "--state", state, QString::fromStdString(folder)});
        const QString config = QString::fromStdString(tree.path("config"));
        const QString instance = timerInstance(folder);
        const QString timer = "quelby-scrub@" + instance + ".timer";
        const QString dropIn = config + "/quelby-scrub@" + instance + ".service.d";
        {
            // The window's calls block, so the stand-in answers from a thread of its own.
            QThread managerThread;
            FakeUserManager manager;
            manager.moveToThread(&managerThread);
            managerThread.start();
            const auto stopThread = qScopeGuard([&managerThread] {
                managerThread.quit();
                managerThread.wait();
            });
            QDBusConnection systemd = QDBusConnection::connectToBus(address, "systemd");
            QVERIFY(systemd.registerObject("/org/freedesktop/systemd1", &manager,
                                           QDBusConnection::ExportAllSlots));
            QVERIFY(systemd.registerService("org.freedesktop.systemd1"));
            SystemdUserTimers timers(QDBusConnection::connectToBus(address, "app"), config);
            FoldersView view(timers, state.toStdString());
            QVERIFY(view.checkRegularly->isEnabled());
            QVERIFY(!view.checkRegularly->isChecked());

            view.periodBox->setValue(7);
            view.checkRegularly->click();
            QVERIFY(view.checkRegularly->isChecked());
            QCOMPARE(manager.calls, (QStringList{"Reload", "EnableUnitFiles " + timer + " false true",
                                                 "StartUnit " + timer + " replace"}));
            QCOMPARE(QByteArray::fromStdString(
                         quelby::test::readWholeFile((dropIn + "/period.conf").toStdString())),
                     QByteArray("[Service]\nEnvironment=QUELBY_EVERY=7\n"));
            QCOMPARE(timers.periodDays(folder), std::optional<int>(7));

            manager.calls.clear();
            view.checkRegularly->click();
            QVERIFY(!view.checkRegularly->isChecked());
            QCOMPARE(manager.calls, (QStringList{"DisableUnitFiles " + timer + " false",
                                                 "StopUnit " + timer + " replace", "Reload"}));
            QVERIFY(!QFileInfo::exists(dropIn));
            QVERIFY(QFileInfo::exists(config));

            // A refused change leaves the box as the timer is, and says why.
            manager.refusesToEnable = true;
            QSignalSpy failed(&view, &FoldersView::scheduleFailed);
            view.checkRegularly->click();
            QVERIFY(!view.checkRegularly->isChecked());
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.front().front().toString(),
                     QStringLiteral("The systemd user manager refused EnableUnitFiles: Access "
                                    "denied"));
        }
        QDBusConnection::disconnectFromBus("systemd");
        QDBusConnection::disconnectFromBus("app");
    }

    // Verify now in the window: the scrub's lines in the report, the state the command line reads.
    void verifyNowRunsTheScrubAndWritesTheStateStatusReads()
    {
        TempTree tree;
        const std::string folder = tree.folder("photos");
        tree.file("photos/a.jpg", "aaaa");
        tree.file("photos/b.jpg", "bbbb");
        runCli({"tag", QString::fromStdString(folder)});
        const std::string state = tree.path("state/scrub.sqlite");
        ViewController window;
        window.foldersView->setStatePath(state);
        window.show();
        auto* showFolders = window.findChild<QAction*>(QStringLiteral("actionShowFolders"));
        QVERIFY(showFolders && showFolders->isCheckable() && showFolders->isChecked());
        QCOMPARE(showFolders->text().remove('&'), QStringLiteral("Show Folders"));
        QVERIFY(window.menuBar()->findChildren<QMenu*>().at(2)->actions().contains(showFolders));

        window.startScrubAt(folder);
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        const QByteArray shown = QByteArray::fromStdString(window.outputTextbox->utf8Text());
        QVERIFY2(shown.endsWith(QByteArray::fromStdString(
                     "Scrubbed 2 files in " + folder +
                     ": 0 problems; 100% of its 2 files verified in the last 30 days.\n")),
                 shown.constData());
        const QByteArray status = runCli({"status", "--state", QString::fromStdString(state)});
        QVERIFY2(status.contains(QByteArray::fromStdString(folder) + ": last scrubbed") &&
                     status.contains("100% of its 2 files verified in the last 30 days; 0 open"),
                 status.constData());
        QCOMPARE(window.foldersView->list->topLevelItemCount(), 1);
        QCOMPARE(window.foldersView->selectedFolder(), std::optional<std::string>(folder));

        showFolders->trigger();
        QVERIFY(!window.foldersView->isVisible());
    }

    // Keep parity runs a Retag that writes the folder's set, which par2 itself verifies, and
    // replaces no digest of a damaged file; a new percentage rewrites the set; given up, it goes.
    // The row says which.
    void keepParityWritesASetPar2VerifiesAndGivingItUpRemovesIt()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("par2")).isEmpty()) {
            QSKIP("par2 is not installed");
        }
        TempTree tree;
        const std::string folder = tree.folder("photos");
        tree.file("photos/a.jpg", std::string(30000, 'a'));
        tree.file("photos/b.jpg", std::string(12345, 'b'));
        // Damaged below, before any set: only an edit may have its digest replaced.
        const std::string damaged = tree.file("photos/2019/c.jpg", "cccc");
        constexpr time_t kLongAgo = 1'500'000'000;
        quelby::test::setModificationTime(damaged, kLongAgo);
        runCli({"tag", "-t", QString::fromStdString(folder)});
        quelby::test::writeWholeFile(damaged, "CCCC");
        quelby::test::setModificationTime(damaged, kLongAgo);
        const std::string state = tree.path("state/scrub.sqlite");
        runCli({"scrub", "--state", QString::fromStdString(state), QString::fromStdString(folder)});
        const QString set = QString::fromStdString(folder) + "/.quelby.par2";
        ViewController window;
        window.foldersView->setStatePath(state);
        FoldersView& view = *window.foldersView;
        const auto parityShown = [&view] {
            return view.list->topLevelItem(0)->text(FoldersView::parityColumn);
        };
        QCOMPARE(view.keepParity->accessibleName(), QStringLiteral("Keep parity"));
        QCOMPARE(view.parityPercentBox->accessibleName(), QStringLiteral("Parity percentage"));
        QCOMPARE(view.parityPercentBox->value(), 5);
        QTRY_COMPARE(parityShown(), QStringLiteral("no parity"));
        QVERIFY(!view.keepParity->isChecked());

        view.parityPercentBox->setValue(10);
        view.keepParity->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QVERIFY(QFile::exists(set));
        QTRY_COMPARE(parityShown(), QStringLiteral("parity 10 %"));
        QVERIFY(view.keepParity->isChecked());
        QVERIFY2(window.outputTextbox->plainText().contains(
                     QStringLiteral("Parity: 1 set written, 0 kept, 0 left, 0 removed.")),
                 qPrintable(window.outputTextbox->plainText()));
        QProcess verify;
        verify.setWorkingDirectory(QString::fromStdString(folder));
        verify.start(QStringLiteral("par2"),
                     {QStringLiteral("verify"), QStringLiteral(".quelby.par2")});
        QVERIFY(verify.waitForFinished(60000));
        QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0,
                 verify.readAllStandardOutput().constData());
        QVERIFY2(
            runCli({"check", QString::fromStdString(folder)}).contains("2019/c.jpg aren't equal"),
            "the damaged file's digest was replaced");

        // A new percentage while parity is kept is the set written anew with it.
        view.parityPercentBox->setValue(20);
        QTest::keyClick(view.parityPercentBox, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QTRY_COMPARE(parityShown(), QStringLiteral("parity 20 %"));

        view.keepParity->click();
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QVERIFY(!QFile::exists(set));
        QTRY_COMPARE(parityShown(), QStringLiteral("no parity"));
        QVERIFY(!view.keepParity->isChecked());
        QVERIFY2(window.outputTextbox->plainText().contains(
                     QStringLiteral("Parity: 0 sets written, 0 kept, 0 left, 1 removed.")),
                 qPrintable(window.outputTextbox->plainText()));
    }
};

QTEST_MAIN(FoldersViewTest)
#include "folders_view_test.moc"
