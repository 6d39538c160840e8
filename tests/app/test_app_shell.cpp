// The shell around the main window: when the update check is due, the Help
// menu and what its items open, the help window with the manual, the About
// box, and the addresses the build ships with.
#include "app/about_box.h"
#include "app/app_delegate.h"
#include "app/ref_view_controller.h"
#include "app/update_schedule.h"
#include "shell_config.h"
#include "shell_fakes.h"

#include <QMenu>
#include <QMenuBar>
#include <QPdfDocument>
#include <QPdfSelection>
#include <QPdfView>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Settings in a fresh file of the test's own, never the user's.
class ScratchSettings
{
public:
    std::unique_ptr<QSettings> open() const
    {
        return std::make_unique<QSettings>(myFolder.filePath(QStringLiteral("Quelby.conf")),
                                           QSettings::IniFormat);
    }

private:
    QTemporaryDir myFolder;
};

QDateTime atSeconds(double sinceReferenceDate)
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)
        .addMSecs(static_cast<qint64>(sinceReferenceDate * 1000.0));
}

QString manualText(QPdfDocument& manual)
{
    QString text;
    for (int page = 0; page < manual.pageCount(); ++page) {
        text += manual.getAllText(page).text();
    }
    return text;
}

const double kNow = 786000000.0; // seconds since 2001, late in 2025

} // namespace

class AppShellTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void updateCheckRunsOnlyWhenDue_data();
    void updateCheckRunsOnlyWhenDue();
    void helpMenuItemsOpenWhatTheySay();
    void everyHelpChoiceOpensOneMoreWindowWithTheManual();
    void aReshownHelpWindowLoadsTheManualAfresh();
    void aMissingOrBrokenManualLeavesTheWindowBlank();
    void aboutBoxShowsNameVersionPurposeAndLicence();
    void shippedAddressesAreHttps();
    void theAppRunsItsLaunchHookWithoutReachingTheNetwork();

private:
    ScriptedAlerts myAlerts;
    RecordedUrls myUrls;
};

void AppShellTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(QStringLiteral("Quelby"));
}

void AppShellTest::updateCheckRunsOnlyWhenDue_data()
{
    QTest::addColumn<QVariant>("storedSwitchedOff");
    QTest::addColumn<QVariant>("storedInterval");
    QTest::addColumn<QVariant>("storedLastCheck");
    QTest::addColumn<bool>("checks");
    QTest::addColumn<double>("intervalAfter");

    const QVariant absent;
    QTest::newRow("first launch") << absent << absent << absent << true << 43200.0;
    QTest::newRow("interval 0.5 means 12 hours, elapsed")
        << QVariant(false) << QVariant(0.5) << QVariant(kNow - 43201.0) << true << 43200.0;
    QTest::newRow("interval 0.5 means 12 hours, not elapsed")
        << QVariant(false) << QVariant(0.5) << QVariant(kNow - 3601.0) << false << 43200.0;
    QTest::newRow("second launch within the hour")
        << QVariant(false) << QVariant(3600.0) << QVariant(kNow - 1800.0) << false << 3600.0;
    QTest::newRow("exactly one interval is not enough")
        << QVariant(false) << QVariant(3600.0) << QVariant(kNow - 3600.0) << false << 3600.0;
    QTest::newRow("one interval and a second later")
        << QVariant(false) << QVariant(3600.0) << QVariant(kNow - 3601.0) << true << 3600.0;
    QTest::newRow("switched off on first launch")
        << QVariant(true) << absent << absent << false << 43200.0;
    QTest::newRow("switched off, long overdue")
        << QVariant(true) << QVariant(60.0) << QVariant(1.0) << false << 60.0;
}

void AppShellTest::updateCheckRunsOnlyWhenDue()
{
    QFETCH(QVariant, storedSwitchedOff);
    QFETCH(QVariant, storedInterval);
    QFETCH(QVariant, storedLastCheck);
    QFETCH(bool, checks);
    QFETCH(double, intervalAfter);

    ScratchSettings store;
    {
        const auto settings = store.open();
        const std::pair<const char*, QVariant> stored[] = {
            {kNoUpdateCheckKey, storedSwitchedOff},
            {kUpdateCheckIntervalKey, storedInterval},
            {kDateLastUpdateCheckKey, storedLastCheck}};
        for (const auto& [key, value] : stored) {
            if (value.isValid()) {
                settings->setValue(key, value);
            }
        }
    }

    // The clock moves on a second at each reading: the time stored is the
    // one taken after the fetch started.
    double clockSeconds = kNow;
    int checksRun = 0;
    {
        const auto settings = store.open();
        scheduleUpdateCheck(
            *settings, [&clockSeconds] { return atSeconds(clockSeconds++); },
            [&checksRun] { ++checksRun; });
    }

    const auto after = store.open();
    QCOMPARE(checksRun, checks ? 1 : 0);
    QCOMPARE(after->value(kNoUpdateCheckKey).toBool(), storedSwitchedOff.toBool());
    QCOMPARE(after->value(kUpdateCheckIntervalKey).toDouble(), intervalAfter);
    if (checks) {
        QCOMPARE(after->value(kDateLastUpdateCheckKey).toDouble(), kNow + 1.0);
    } else {
        QCOMPARE(after->contains(kDateLastUpdateCheckKey), storedLastCheck.isValid());
        QCOMPARE(after->value(kDateLastUpdateCheckKey).toDouble(), storedLastCheck.toDouble());
    }
}

void AppShellTest::helpMenuItemsOpenWhatTheySay()
{
    ShellSetup setup;
    setup.supportAddress = QUrl(QStringLiteral("https://support.example/quelby/"));
    setup.alerts = &myAlerts;
    setup.urls = &myUrls;
    AppDelegate delegate(setup);
    QMenuBar menuBar;
    menuBar.addMenu(QStringLiteral("File"));
    QMenu* help = delegate.addHelpMenu(&menuBar);

    QCOMPARE(menuBar.actions().last(), help->menuAction());
    QStringList titles;
    for (const QAction* item : help->actions()) {
        if (!item->isSeparator()) {
            titles.append(item->text());
        }
    }
    QCOMPARE(titles, (QStringList{"Quelby Help", "Quelby Support Page", "Update not checked",
                                  "About Quelby"}));

    help->findChild<QAction*>(QStringLiteral("actionSupport"))->trigger();
    QCOMPARE(myUrls.opened, QList<QUrl>{setup.supportAddress});

    help->findChild<QAction*>(QStringLiteral("actionHelp"))->trigger();
    QCOMPARE(delegate.refWindows().size(), std::size_t{1});
    QVERIFY(delegate.refWindows().front()->isVisible());

    QVERIFY(delegate.aboutBox() == nullptr);
    help->findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
    QVERIFY(delegate.aboutBox() != nullptr);
    QVERIFY(delegate.aboutBox()->isVisible());
    QVERIFY(myAlerts.shown.isEmpty());
}

void AppShellTest::everyHelpChoiceOpensOneMoreWindowWithTheManual()
{
    ShellSetup setup;
    setup.alerts = &myAlerts;
    setup.urls = &myUrls;
    AppDelegate delegate(setup);
    for (int choice = 0; choice < 3; ++choice) {
        delegate.openRef();
    }

    QCOMPARE(delegate.refWindows().size(), std::size_t{3});
    for (const auto& window : delegate.refWindows()) {
        QVERIFY(window->isVisible());
        QPdfDocument* manual = window->document();
        QVERIFY(manual != nullptr);
        QCOMPARE(manual->status(), QPdfDocument::Status::Ready);
        QVERIFY(manual->pageCount() >= 1);
        QCOMPARE(window->pdfView()->document(), manual);
        QCOMPARE(window->pdfView()->pageMode(), QPdfView::PageMode::MultiPage);
        QCOMPARE(window->pdfView()->zoomMode(), QPdfView::ZoomMode::FitToWidth);
    }

    // A closed window stays kept; the next choice opens a fresh one all the same.
    delegate.refWindows().front()->close();
    delegate.openRef();
    QCOMPARE(delegate.refWindows().size(), std::size_t{4});
    QVERIFY(!delegate.refWindows().front()->isVisible());
    QVERIFY(delegate.refWindows().back()->isVisible());
    QVERIFY(delegate.refWindows().back()->document()->pageCount() >= 1);

    // The manual is ours and covers what a user needs to read a report.
    const QString text = manualText(*delegate.refWindows().front()->document());
    for (const char* expected :
         {"Quelby Help", "Check", "Retag", "❌ Couldn't read", "✅ Digests for",
          "No digest found for", "user.co.mossgroveware.quelby.hash#S", "rsync -aX", "quelby-cli",
          "130"}) {
        QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
    }
}

void AppShellTest::aReshownHelpWindowLoadsTheManualAfresh()
{
    RefViewController window;
    window.show();
    const QPointer<QPdfDocument> first = window.document();
    QVERIFY(first != nullptr);
    window.close();
    window.show();

    QVERIFY(first.isNull());
    QVERIFY(window.document() != nullptr);
    QVERIFY(window.document()->pageCount() >= 1);
    QCOMPARE(window.pdfView()->document(), window.document());
}

void AppShellTest::aMissingOrBrokenManualLeavesTheWindowBlank()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString broken = folder.filePath(QStringLiteral("QuelbyHelp.pdf"));
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("%PDF-1.4 this is where the manual was cut off");
    file.close();

    for (const QString& path : {folder.filePath(QStringLiteral("missing.pdf")), broken}) {
        RefViewController window(path);
        window.show();
        QVERIFY(window.isVisible());
        const QPdfDocument* shown = window.pdfView()->document();
        QVERIFY(shown == nullptr || shown->pageCount() == 0);
    }
}

void AppShellTest::aboutBoxShowsNameVersionPurposeAndLicence()
{
    AboutBox about;
    const QStringList lines = about.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("Quelby"));
    QCOMPARE(lines[1], QStringLiteral("Version " QUELBY_PROJECT_VERSION));
    QVERIFY(lines[2].contains(QStringLiteral("SHA-256")));
    QCOMPARE(lines[3], QStringLiteral("Licence: " QUELBY_PROJECT_LICENSE));
}

void AppShellTest::shippedAddressesAreHttps()
{
    const UpdateSite site = shippedUpdateSite();
    const QUrl prefix(site.downloadPrefix);
    for (const QUrl& address : {site.listAddress, prefix, shippedSupportAddress()}) {
        QVERIFY2(address.isValid(), qPrintable(address.toString()));
        QCOMPARE(address.scheme(), QStringLiteral("https"));
        QVERIFY2(!address.host().isEmpty(), qPrintable(address.toString()));
    }
    QVERIFY(site.downloadPrefix.endsWith(QLatin1Char('/')));
    QVERIFY(site.listAddress.path().size() > 1);
}

void AppShellTest::theAppRunsItsLaunchHookWithoutReachingTheNetwork()
{
#ifndef QUELBY_APP_PATH
    QSKIP("the app is not built in this configuration (no main window)");
#else
    // The app's own settings store, in a scratch folder, with the check off.
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString store = home.filePath(QStringLiteral("config/mossgroveware/Quelby.conf"));
    {
        QSettings settings(store, QSettings::IniFormat);
        settings.setValue(kNoUpdateCheckKey, true);
        settings.setValue(kUpdateCheckIntervalKey, 0.5);
    }

    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(QUELBY_APP_PATH), {});
    QVERIFY(app.waitForStarted());

    // The launch hook stores the interval in force back: 0.5 becomes 12 hours.
    QTRY_COMPARE_WITH_TIMEOUT(
        QSettings(store, QSettings::IniFormat).value(kUpdateCheckIntervalKey).toDouble(), 43200.0,
        20000);
    QCOMPARE(app.state(), QProcess::Running);
    app.terminate();
    QVERIFY(app.waitForFinished(10000));

    const QSettings after(store, QSettings::IniFormat);
    QVERIFY(after.value(kNoUpdateCheckKey).toBool());
    QVERIFY(!after.contains(kDateLastUpdateCheckKey));
#endif
}

QTEST_MAIN(AppShellTest)
#include "test_app_shell.moc"
