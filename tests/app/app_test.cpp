// The shell around the main window: the update check against a server of the
// test's own on 127.0.0.1 (what the user sees for each kind of answer), when
// that check is due, the Help menu and what its items open, the help window
// with the manual, the About box, the shipped addresses and the app's launch.
#include "app/about_box.h"
#include "app/app_delegate.h"
#include "app/ref_view_controller.h"
#include "app/update_check.h"
#include "app/update_schedule.h"
#include "shell_config.h"

#include <QMenu>
#include <QMenuBar>
#include <QNetworkProxy>
#include <QPdfDocument>
#include <QPdfView>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <plist/plist.h>

namespace {

// Records every alert and answers each with the same button.
struct ScriptedAlerts : AlertPresenter
{
    QList<Alert> shown;
    int answer = 0;
    int run(const Alert& alert) override
    {
        shown.append(alert);
        return answer;
    }
};

struct RecordedUrls : UrlOpener
{
    QList<QUrl> opened;
    void open(const QUrl& address) override { opened.append(address); }
};

struct CannedResponse
{
    int status = 200;
    QByteArray contentType = "text/xml";
    QByteArray body;
    bool answers = true;
    // Without a Content-Length the body simply ends when the connection closes.
    bool announcesLength = true;
};

// Gives every request one canned answer, or none at all.
struct LocalHttpServer
{
    QTcpServer server;
    CannedResponse response;
    int requests = 0;

    LocalHttpServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* client = server.nextPendingConnection()) {
                QObject::connect(client, &QTcpSocket::readyRead, client,
                                 [this, client] { serve(client); });
                QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/apps.plist").arg(server.serverPort()));
    }
    void serve(QTcpSocket* client)
    {
        // A request may come in pieces: answer once its header is complete.
        if (!client->peek(65536).contains("\r\n\r\n")) {
            return;
        }
        client->readAll();
        ++requests;
        if (!response.answers) {
            return;
        }
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n";
        if (!response.contentType.isEmpty()) {
            answer += "Content-Type: " + response.contentType + "\r\n";
        }
        if (response.announcesLength) {
            answer += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        }
        client->write(answer + "Connection: close\r\n\r\n" + response.body);
        client->disconnectFromHost();
    }
};

const QString kPrefix = QStringLiteral("https://downloads.example/quelby/");

struct Entry
{
    QString appName, version, url;
};
const Entry kNewer{"Quelby", "1.1.0", kPrefix + "quelby-1.1.0.deb"};
const Entry kSame{"Quelby", "1.0.0", kPrefix + "quelby-1.0.0.deb"};

QByteArray updateList(const QList<Entry>& entries)
{
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n";
    for (const Entry& entry : entries) {
        xml += "<dict>\n";
        const std::pair<QByteArray, QString> fields[] = {
            {"AppName", entry.appName}, {"Version", entry.version}, {"URL", entry.url}};
        for (const auto& [key, value] : fields) {
            if (!value.isNull()) {
                xml += "<key>" + key + "</key><string>" + value.toHtmlEscaped().toUtf8() +
                       "</string>\n";
            }
        }
        xml += "</dict>\n";
    }
    return xml + "</array>\n</plist>\n";
}

QByteArray binaryList(const QByteArray& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    QByteArray binary(bytes, static_cast<qsizetype>(length));
    std::free(bytes);
    plist_free(root);
    return binary;
}

// The list padded with blank lines inside the array to exactly size bytes.
QByteArray paddedTo(QByteArray list, qsizetype size)
{
    return list.insert(list.indexOf("</array>"), QByteArray(size - list.size(), '\n'));
}

// An alert as the user reads it: a critical one marked "!", then its texts and buttons.
QString seen(const Alert& alert)
{
    return (alert.style == Alert::Style::critical ? "!" : "") + alert.message + '|' +
           alert.informative + '|' + alert.buttons.join(',');
}

QString offer(const char* version)
{
    return "An update to this app to version " + QString::fromLatin1(version) +
           " is available.|You are currently running Quelby version 1.0.0.\nPlease choose "
           "whether to download this update now in your default browser.|Ignore,Download";
}

QString failure(const char* text)
{
    return "!An error occurred:|" + QString::fromLatin1(text) + "|OK";
}

QDateTime atSeconds(double sinceReferenceDate)
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)
        .addMSecs(static_cast<qint64>(sinceReferenceDate * 1000.0));
}

const double kNow = 786000000.0; // seconds since 2001, late in 2025

} // namespace

Q_DECLARE_METATYPE(CannedResponse)

class AppTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void answersShowWhatTheUserSees_data();
    void answersShowWhatTheUserSees();
    void aMissingVersionStringIsReportedAndNothingIsFetched();
    void updateCheckRunsOnlyWhenDue_data();
    void updateCheckRunsOnlyWhenDue();
    void theHelpMenuAndTheLaunchHookDoWhatTheySay();
    void aMissingOrBrokenManualLeavesTheWindowBlank();
    void aboutBoxShowsNameVersionPurposeAndLicence();
    void shippedAddressesAreHttps();
    void theAppRunsItsLaunchHookWithoutReachingTheNetwork();

private:
    ScriptedAlerts myAlerts;
    RecordedUrls myUrls;
};

void AppTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
}

void AppTest::init()
{
    myAlerts.shown.clear();
    myUrls.opened.clear();
}

void AppTest::answersShowWhatTheUserSees_data()
{
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::addColumn<bool>("marked");
    const auto row = [](const char* name, const CannedResponse& response, QStringList alerts = {},
                        QList<QUrl> opened = {}, bool marked = false, int answer = 1) {
        QTest::newRow(name) << response << answer << alerts << opened << marked;
    };

    const QByteArray newer = updateList({kNewer});
    const QString listError = failure("Error in update Property List.");
    const QUrl link(kNewer.url);
    const QByteArray big = paddedTo(newer, UpdateCheck::kMaxListSize);
    const QByteArray tooBig = paddedTo(newer, UpdateCheck::kMaxListSize + 1);

    row("not found", {404, "text/xml", newer});
    row("another MIME type", {200, "application/octet-stream", newer});
    row("no MIME type", {200, "", newer});
    row("MIME type in capitals", {200, "TEXT/XML", newer});
    row("server never answers", {200, "text/xml", newer, false});
    row("charset parameter accepted", {200, "text/xml; charset=utf-8", newer}, {offer("1.1.0")},
        {link}, true);
    row("plain text accepted, status 203", {203, "text/plain", newer}, {offer("1.1.0")}, {link},
        true);
    row("binary list", {200, "text/plain", binaryList(newer)}, {offer("1.1.0")}, {link}, true);
    row("not a property list", {200, "text/plain", "Quelby 1.1.0 is out!\n"}, {listError});
    row("empty body", {200, "text/xml", ""}, {listError});
    row("empty array", {200, "text/xml", updateList({})},
        {failure("Update Property List has no entries.")});
    row("same version", {200, "text/xml", updateList({kSame})}, {}, {}, true);
    row("other version, Ignore", {200, "text/xml", newer}, {offer("1.1.0")}, {}, true, 0);
    row("older version is offered too",
        {200, "text/xml", updateList({{"Quelby", "0.9.0", kPrefix + "quelby-0.9.0.deb"}})},
        {offer("0.9.0")}, {QUrl(kPrefix + "quelby-0.9.0.deb")}, true);
    row("link that only contains the prefix",
        {200, "text/xml",
         updateList({{"Quelby", "1.1.0", "https://elsewhere.example/?u=" + kPrefix + "q.deb"}})},
        {}, {}, true);
    row("two entries, two offers",
        {200, "text/xml", updateList({kNewer, {"Quelby", "1.2.0", kPrefix + "quelby-1.2.0.deb"}})},
        {offer("1.1.0"), offer("1.2.0")}, {link, QUrl(kPrefix + "quelby-1.2.0.deb")}, true);
    row("other products and broken entries are skipped",
        {200, "text/xml",
         updateList({{"Other", "7.0", "https://else.example/"},
                     {QString(), "2.0", kPrefix + "x.deb"},
                     {"Other", QString(), QString()},
                     kSame})
             .replace("<dict>\n<key>AppName</key><string>Other</string>\n</dict>",
                      "<string>not a dictionary</string>")},
        {}, {}, true);
    row("root is not an array",
        {200, "text/xml", QByteArray(newer).replace("<array>\n", "").replace("</array>\n", "")},
        {listError});
    row("own entry without a version",
        {200, "text/xml", updateList({{"Quelby", QString(), kNewer.url}})}, {listError});
    row("own entry with a number for its link",
        {200, "text/xml",
         QByteArray(newer).replace("<string>" + kNewer.url.toUtf8() + "</string>",
                                   "<integer>7</integer>")},
        {listError});
    row("list of exactly 1 MiB", {200, "text/xml", big}, {offer("1.1.0")}, {link}, true);
    row("list one byte over 1 MiB is dropped", {200, "text/xml", tooBig});
    row("unannounced list of exactly 1 MiB", {200, "text/xml", big, true, false}, {offer("1.1.0")},
        {link}, true);
    row("unannounced list one byte over is dropped", {200, "text/xml", tooBig, true, false});
}

void AppTest::answersShowWhatTheUserSees()
{
    QFETCH(CannedResponse, response);
    QFETCH(int, answer);
    QFETCH(QStringList, alerts);
    QFETCH(QList<QUrl>, opened);
    QFETCH(bool, marked);
    LocalHttpServer server;
    QVERIFY(server.server.isListening());
    server.response = response;
    myAlerts.answer = answer;
    QMenu help;
    QAction* status = help.addAction(QString::fromLatin1(kUpdateNotCheckedTitle));
    UpdateCheck check({server.url(), kPrefix}, myAlerts, myUrls);
    check.setHelpMenu(&help);
    check.setTransferTimeout(1000);
    QSignalSpy finished(&check, &UpdateCheck::finished);
    QVERIFY(check.checkForUpdate());
    QVERIFY(finished.wait(20000));

    // Qt may send the request again when a body without a length is cut short.
    if (response.announcesLength) {
        QCOMPARE(server.requests, 1);
    }
    QStringList shown;
    for (const Alert& alert : myAlerts.shown) {
        shown.append(seen(alert));
    }
    QCOMPARE(shown, alerts);
    QCOMPARE(myUrls.opened, opened);
    QCOMPARE(status->isChecked(), marked);
    QCOMPARE(status->text(),
             QString::fromLatin1(marked ? kCheckedForUpdateTitle : kUpdateNotCheckedTitle));
}

void AppTest::aMissingVersionStringIsReportedAndNothingIsFetched()
{
    LocalHttpServer server;
    server.response = {200, "text/xml", updateList({kNewer})};
    QCoreApplication::setApplicationVersion(QString());
    UpdateCheck check({server.url(), kPrefix}, myAlerts, myUrls);
    const bool started = check.checkForUpdate();
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QVERIFY(!started);
    QCOMPARE(myAlerts.shown.size(), 1);
    QCOMPARE(seen(myAlerts.shown.first()),
             failure("Can't check for updates:\nNo app version string found."));
    QTest::qWait(100);
    QCOMPARE(server.requests, 0);
}

void AppTest::updateCheckRunsOnlyWhenDue_data()
{
    QTest::addColumn<QVariant>("storedSwitchedOff");
    QTest::addColumn<QVariant>("storedInterval");
    QTest::addColumn<QVariant>("storedLastCheck");
    QTest::addColumn<bool>("checks");
    QTest::addColumn<double>("intervalAfter");

    const auto row = [](const char* name, QVariant off, QVariant interval, QVariant last,
                        bool checks, double intervalAfter) {
        QTest::newRow(name) << off << interval << last << checks << intervalAfter;
    };
    const QVariant absent;
    row("first launch", absent, absent, absent, true, 43200);
    row("interval 0.5 means 12 hours, elapsed", false, 0.5, kNow - 43201, true, 43200);
    row("interval 0.5 means 12 hours, not elapsed", false, 0.5, kNow - 3601, false, 43200);
    row("second launch within the hour", false, 3600.0, kNow - 1800, false, 3600);
    row("exactly one interval is not enough", false, 3600.0, kNow - 3600, false, 3600);
    row("one interval and a second later", false, 3600.0, kNow - 3601, true, 3600);
    row("switched off on first launch", true, absent, absent, false, 43200);
    row("switched off, long overdue", true, 60.0, 1.0, false, 60);
}

void AppTest::updateCheckRunsOnlyWhenDue()
{
    QFETCH(QVariant, storedSwitchedOff);
    QFETCH(QVariant, storedInterval);
    QFETCH(QVariant, storedLastCheck);
    QFETCH(bool, checks);
    QFETCH(double, intervalAfter);
    QTemporaryDir folder;
    QSettings settings(folder.filePath(QStringLiteral("Quelby.conf")), QSettings::IniFormat);
    const std::pair<const char*, QVariant> stored[] = {{kNoUpdateCheckKey, storedSwitchedOff},
                                                       {kUpdateCheckIntervalKey, storedInterval},
                                                       {kDateLastUpdateCheckKey, storedLastCheck}};
    for (const auto& [key, value] : stored) {
        if (value.isValid()) {
            settings.setValue(key, value);
        }
    }

    // The clock moves on a second at each reading: the time stored is the
    // one taken after the fetch started.
    double clockSeconds = kNow;
    int checksRun = 0;
    scheduleUpdateCheck(
        settings, [&clockSeconds] { return atSeconds(clockSeconds++); },
        [&checksRun] { ++checksRun; });
    settings.sync();

    const QSettings after(settings.fileName(), QSettings::IniFormat);
    QCOMPARE(checksRun, checks ? 1 : 0);
    QCOMPARE(after.value(kNoUpdateCheckKey).toBool(), storedSwitchedOff.toBool());
    QCOMPARE(after.value(kUpdateCheckIntervalKey).toDouble(), intervalAfter);
    QCOMPARE(after.contains(kDateLastUpdateCheckKey), checks || storedLastCheck.isValid());
    QCOMPARE(after.value(kDateLastUpdateCheckKey).toDouble(),
             checks ? kNow + 1.0 : storedLastCheck.toDouble());
}

void AppTest::theHelpMenuAndTheLaunchHookDoWhatTheySay()
{
    QTemporaryDir folder;
    const QString store = folder.filePath(QStringLiteral("Quelby.conf"));
    LocalHttpServer server;
    server.response = {200, "text/xml", updateList({kSame})};
    ShellSetup setup;
    setup.openSettings = [store] {
        return std::make_unique<QSettings>(store, QSettings::IniFormat);
    };
    setup.updateSite = {server.url(), kPrefix};
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
    QVERIFY(delegate.aboutBox() == nullptr);
    help->findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
    QVERIFY(delegate.aboutBox() != nullptr && delegate.aboutBox()->isVisible());

    // Every choice of the help item opens one more window, even once one was closed; a window
    // shown again loads the manual afresh.
    QAction* helpItem = help->findChild<QAction*>(QStringLiteral("actionHelp"));
    helpItem->trigger();
    helpItem->trigger();
    RefViewController& first = *delegate.refWindows().front();
    const QPointer<QPdfDocument> firstManual = first.document();
    QVERIFY(!firstManual.isNull());
    first.close();
    helpItem->trigger();
    QCOMPARE(delegate.refWindows().size(), std::size_t{3});
    first.show();
    QVERIFY(firstManual.isNull());
    for (const auto& window : delegate.refWindows()) {
        QVERIFY(window->isVisible());
        QPdfDocument* manual = window->document();
        QVERIFY(manual != nullptr && manual->pageCount() >= 1);
        QCOMPARE(window->pdfView()->document(), manual);
        QCOMPARE(window->pdfView()->pageMode(), QPdfView::PageMode::MultiPage);
        QCOMPARE(window->pdfView()->zoomMode(), QPdfView::ZoomMode::FitToWidth);
    }

    // The launch hook, on a first launch, fetches the list and marks the status item.
    QSignalSpy finished(&delegate.updateCheck(), &UpdateCheck::finished);
    delegate.applicationDidFinishLaunching();
    QVERIFY(finished.wait(20000));
    QCOMPARE(server.requests, 1);
    QCOMPARE(help->findChild<QAction*>(QStringLiteral("actionUpdateStatus"))->text(),
             QString::fromLatin1(kCheckedForUpdateTitle));
    QVERIFY(QSettings(store, QSettings::IniFormat).contains(kDateLastUpdateCheckKey));
    QVERIFY(myAlerts.shown.isEmpty());

    // The manual is ours and covers what a user needs to read a report.
    QString text;
    QPdfDocument* manual = delegate.refWindows().back()->document();
    for (int page = 0; page < manual->pageCount(); ++page) {
        text += manual->getAllText(page).text();
    }
    for (const char* expected :
         {"Quelby Help", "Check", "Retag", "❌ Couldn't read", "✅ Digests for",
          "No digest found for", "user.co.mossgroveware.quelby.hash#S", "rsync -aX", "quelby-cli",
          "130"}) {
        QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
    }
}

void AppTest::aMissingOrBrokenManualLeavesTheWindowBlank()
{
    QTemporaryDir folder;
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

void AppTest::aboutBoxShowsNameVersionPurposeAndLicence()
{
    const QStringList lines = AboutBox().lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("Quelby"));
    QCOMPARE(lines[1], QStringLiteral("Version " QUELBY_PROJECT_VERSION));
    QVERIFY(lines[2].contains(QStringLiteral("SHA-256")));
    QCOMPARE(lines[3], QStringLiteral("Licence: " QUELBY_PROJECT_LICENSE));
}

void AppTest::shippedAddressesAreHttps()
{
    const UpdateSite site = shippedUpdateSite();
    for (const QUrl& address :
         {site.listAddress, QUrl(site.downloadPrefix), shippedSupportAddress()}) {
        QVERIFY2(address.isValid(), qPrintable(address.toString()));
        QCOMPARE(address.scheme(), QStringLiteral("https"));
        QVERIFY2(!address.host().isEmpty(), qPrintable(address.toString()));
    }
    QVERIFY(site.downloadPrefix.endsWith(QLatin1Char('/')));
    QVERIFY(site.listAddress.path().size() > 1);
}

void AppTest::theAppRunsItsLaunchHookWithoutReachingTheNetwork()
{
#ifndef QUELBY_APP_PATH
    QSKIP("the app is not built in this configuration (no main window)");
#else
    // The app's own settings store, in a scratch folder, with the check off.
    QTemporaryDir home;
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

QTEST_MAIN(AppTest)
#include "app_test.moc"
