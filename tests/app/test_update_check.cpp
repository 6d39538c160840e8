// The update check against a server of the test's own on 127.0.0.1: what the
// user sees (alerts, the Help menu item, the page that would open) for each
// kind of answer.
#include "app/app_delegate.h"
#include "app/update_check.h"
#include "local_http_server.h"
#include "shell_fakes.h"

#include <QMenu>
#include <QMenuBar>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <plist/plist.h>

namespace {

const QString kPrefix = QStringLiteral("https://downloads.example/quelby/");
const QString kRunningVersion = QStringLiteral("1.0.0");

struct Entry
{
    QString appName;
    QString version;
    QString url;
};

QByteArray xmlEscaped(const QString& text)
{
    return text.toHtmlEscaped().toUtf8();
}

QByteArray updateList(const QList<Entry>& entries)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                     "<plist version=\"1.0\">\n<array>\n";
    for (const Entry& entry : entries) {
        xml += "<dict>\n";
        if (!entry.appName.isNull()) {
            xml += "<key>AppName</key><string>" + xmlEscaped(entry.appName) + "</string>\n";
        }
        if (!entry.version.isNull()) {
            xml += "<key>Version</key><string>" + xmlEscaped(entry.version) + "</string>\n";
        }
        if (!entry.url.isNull()) {
            xml += "<key>URL</key><string>" + xmlEscaped(entry.url) + "</string>\n";
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
    const qsizetype at = list.indexOf("</array>");
    list.insert(at, QByteArray(size - list.size(), '\n'));
    return list;
}

QString offerText(const QString& listedVersion)
{
    return QStringLiteral("An update to this app to version ") + listedVersion +
           QStringLiteral(" is available.");
}

const Entry kNewer{QStringLiteral("Quelby"), QStringLiteral("1.1.0"), kPrefix + "quelby-1.1.0.deb"};
const Entry kSame{QStringLiteral("Quelby"), kRunningVersion, kPrefix + "quelby-1.0.0.deb"};

} // namespace

class UpdateCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void answersShowWhatTheUserSees_data();
    void answersShowWhatTheUserSees();
    void aListWithoutAnnouncedLengthIsCappedWhileReading_data();
    void aListWithoutAnnouncedLengthIsCappedWhileReading();
    void theOfferNamesBothVersionsAndItsButtons();
    void aServerThatNeverAnswersEndsTheCheckSilently();
    void aMissingVersionStringIsReportedAndNothingIsFetched();
    void aFirstLaunchFetchesTheListOnceAndADisabledCheckNever();

private:
    LocalHttpServer myServer;
    ScriptedAlerts myAlerts;
    RecordedUrls myUrls;
    QMenuBar myMenuBar;
    QMenu* myHelpMenu = nullptr;
    QAction* myStatusItem = nullptr;

    void runCheck(UpdateCheck& check);
};

void UpdateCheckTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QCoreApplication::setApplicationVersion(kRunningVersion);
    QVERIFY(myServer.isListening());
}

void UpdateCheckTest::init()
{
    myAlerts.shown.clear();
    myAlerts.answers.clear();
    myUrls.opened.clear();
    myMenuBar.clear();
    myHelpMenu = myMenuBar.addMenu(QStringLiteral("Help"));
    myHelpMenu->addAction(QStringLiteral("Quelby Help"));
    myStatusItem = myHelpMenu->addAction(QString::fromLatin1(kUpdateNotCheckedTitle));
}

void UpdateCheckTest::runCheck(UpdateCheck& check)
{
    check.setHelpMenu(myHelpMenu);
    QSignalSpy finished(&check, &UpdateCheck::finished);
    QVERIFY(check.checkForUpdate());
    QVERIFY(finished.wait(20000));
}

void UpdateCheckTest::answersShowWhatTheUserSees_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::addColumn<bool>("marked");

    const QByteArray newer = updateList({kNewer});
    const QString listError = QStringLiteral("Error in update Property List.");
    const QUrl newerLink(kNewer.url);
    const QList<int> download{1};

    QTest::newRow("not found") << 404 << QByteArray("text/xml") << newer << download
                               << QStringList() << QList<QUrl>() << false;
    QTest::newRow("another MIME type") << 200 << QByteArray("application/octet-stream") << newer
                                       << download << QStringList() << QList<QUrl>() << false;
    QTest::newRow("no MIME type") << 200 << QByteArray() << newer << download << QStringList()
                                  << QList<QUrl>() << false;
    QTest::newRow("MIME type in capitals") << 200 << QByteArray("TEXT/XML") << newer << download
                                           << QStringList() << QList<QUrl>() << false;
    QTest::newRow("charset parameter accepted")
        << 200 << QByteArray("text/xml; charset=utf-8") << newer << download
        << QStringList{offerText("1.1.0")} << QList<QUrl>{newerLink} << true;
    QTest::newRow("plain text accepted, status 203")
        << 203 << QByteArray("text/plain") << newer << download << QStringList{offerText("1.1.0")}
        << QList<QUrl>{newerLink} << true;
    QTest::newRow("binary list") << 200 << QByteArray("text/plain") << binaryList(newer) << download
                                 << QStringList{offerText("1.1.0")} << QList<QUrl>{newerLink}
                                 << true;
    QTest::newRow("not a property list")
        << 200 << QByteArray("text/plain") << QByteArray("Quelby 1.1.0 is out!\n") << QList<int>()
        << QStringList{listError} << QList<QUrl>() << false;
    QTest::newRow("empty body") << 200 << QByteArray("text/xml") << QByteArray() << QList<int>()
                                << QStringList{listError} << QList<QUrl>() << false;
    QTest::newRow("empty array") << 200 << QByteArray("text/xml") << updateList({}) << QList<int>()
                                 << QStringList{QStringLiteral(
                                        "Update Property List has no entries.")}
                                 << QList<QUrl>() << false;
    QTest::newRow("same version") << 200 << QByteArray("text/xml") << updateList({kSame})
                                  << download << QStringList() << QList<QUrl>() << true;
    QTest::newRow("other version, Ignore")
        << 200 << QByteArray("text/xml") << newer << QList<int>{0}
        << QStringList{offerText("1.1.0")} << QList<QUrl>() << true;
    QTest::newRow("older version is offered too")
        << 200 << QByteArray("text/xml")
        << updateList({{"Quelby", "0.9.0", kPrefix + "quelby-0.9.0.deb"}}) << download
        << QStringList{offerText("0.9.0")} << QList<QUrl>{QUrl(kPrefix + "quelby-0.9.0.deb")}
        << true;
    QTest::newRow("link that only contains the prefix")
        << 200 << QByteArray("text/xml")
        << updateList({{"Quelby", "1.1.0", "https://elsewhere.example/?u=" + kPrefix + "q.deb"}})
        << download << QStringList() << QList<QUrl>() << true;
    QTest::newRow("two entries, two offers")
        << 200 << QByteArray("text/xml")
        << updateList({kNewer, {"Quelby", "1.2.0", kPrefix + "quelby-1.2.0.deb"}})
        << QList<int>{1, 1} << QStringList{offerText("1.1.0"), offerText("1.2.0")}
        << QList<QUrl>{newerLink, QUrl(kPrefix + "quelby-1.2.0.deb")} << true;
    QTest::newRow("other products and broken entries are skipped")
        << 200 << QByteArray("text/xml")
        << updateList({{"Other", "7.0", "https://else.example/"},
                       {QString(), "2.0", kPrefix + "x.deb"},
                       {"Other", QString(), QString()},
                       kSame})
               .replace("<dict>\n<key>AppName</key><string>Other</string>\n</dict>",
                        "<string>not a dictionary</string>")
        << download << QStringList() << QList<QUrl>() << true;
    QTest::newRow("root is not an array")
        << 200 << QByteArray("text/xml")
        << updateList({kNewer}).replace("<array>\n", "").replace("</array>\n", "") << download
        << QStringList{listError} << QList<QUrl>() << false;
    QTest::newRow("own entry without a version")
        << 200 << QByteArray("text/xml") << updateList({{"Quelby", QString(), kNewer.url}})
        << download << QStringList{listError} << QList<QUrl>() << false;
    QTest::newRow("own entry with a number for its link")
        << 200 << QByteArray("text/xml")
        << updateList({kNewer}).replace("<string>" + xmlEscaped(kNewer.url) + "</string>",
                                        "<integer>7</integer>")
        << download << QStringList{listError} << QList<QUrl>() << false;
    QTest::newRow("list of exactly 1 MiB")
        << 200 << QByteArray("text/xml") << paddedTo(newer, UpdateCheck::kMaxListSize) << download
        << QStringList{offerText("1.1.0")} << QList<QUrl>{newerLink} << true;
    QTest::newRow("list one byte over 1 MiB is dropped")
        << 200 << QByteArray("text/xml") << paddedTo(newer, UpdateCheck::kMaxListSize + 1)
        << download << QStringList() << QList<QUrl>() << false;
}

void UpdateCheckTest::answersShowWhatTheUserSees()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, answers);
    QFETCH(QStringList, alerts);
    QFETCH(QList<QUrl>, opened);
    QFETCH(bool, marked);

    myServer.setResponse({status, contentType, body, true});
    myAlerts.answers = answers;
    UpdateCheck check({myServer.url("/apps.plist"), kPrefix}, myAlerts, myUrls);
    runCheck(check);
    if (QTest::currentTestFailed()) {
        return;
    }

    QStringList shown;
    for (const Alert& alert : myAlerts.shown) {
        // An error alert says what went wrong in its informative text.
        shown.append(alert.style == Alert::Style::critical ? alert.informative : alert.message);
    }
    QCOMPARE(shown, alerts);
    QCOMPARE(myUrls.opened, opened);
    QCOMPARE(myStatusItem->isChecked(), marked);
    QCOMPARE(myStatusItem->text(),
             QString::fromLatin1(marked ? kCheckedForUpdateTitle : kUpdateNotCheckedTitle));
}

void UpdateCheckTest::aListWithoutAnnouncedLengthIsCappedWhileReading_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<int>("offers");

    QTest::newRow("exactly 1 MiB") << UpdateCheck::kMaxListSize << 1;
    QTest::newRow("one byte more") << UpdateCheck::kMaxListSize + 1 << 0;
}

void UpdateCheckTest::aListWithoutAnnouncedLengthIsCappedWhileReading()
{
    QFETCH(qsizetype, size);
    QFETCH(int, offers);

    CannedResponse response{200, "text/xml", paddedTo(updateList({kNewer}), size), true};
    response.announcesLength = false;
    myServer.setResponse(response);
    UpdateCheck check({myServer.url("/apps.plist"), kPrefix}, myAlerts, myUrls);
    runCheck(check);

    QCOMPARE(myAlerts.shown.size(), offers);
    QCOMPARE(myStatusItem->isChecked(), offers > 0);
}

void UpdateCheckTest::theOfferNamesBothVersionsAndItsButtons()
{
    myServer.setResponse({200, "text/xml", updateList({kNewer, {"Quelby", "x", "bad"}}), true});
    UpdateCheck check({myServer.url("/apps.plist"), kPrefix}, myAlerts, myUrls);
    runCheck(check);

    QCOMPARE(myAlerts.shown.size(), 1);
    const Alert& offer = myAlerts.shown.first();
    QCOMPARE(offer.style, Alert::Style::informational);
    QCOMPARE(offer.message, QStringLiteral("An update to this app to version 1.1.0 is available."));
    QCOMPARE(offer.informative,
             QStringLiteral("You are currently running Quelby version 1.0.0.\nPlease choose "
                            "whether to download this update now in your default browser."));
    QCOMPARE(offer.buttons, (QStringList{"Ignore", "Download"}));

    myServer.setResponse({200, "text/plain", "no list", true});
    myAlerts.shown.clear();
    runCheck(check);
    QCOMPARE(myAlerts.shown.size(), 1);
    const Alert& error = myAlerts.shown.first();
    QCOMPARE(error.style, Alert::Style::critical);
    QCOMPARE(error.message, QStringLiteral("An error occurred:"));
    QCOMPARE(error.buttons, QStringList{"OK"});
}

void UpdateCheckTest::aServerThatNeverAnswersEndsTheCheckSilently()
{
    CannedResponse silent;
    silent.answers = false;
    myServer.setResponse(silent);
    const int requestsBefore = myServer.requestCount();
    UpdateCheck check({myServer.url("/apps.plist"), kPrefix}, myAlerts, myUrls);
    check.setTransferTimeout(500);
    runCheck(check);

    QCOMPARE(myServer.requestCount() - requestsBefore, 1);
    QVERIFY(myAlerts.shown.isEmpty());
    QCOMPARE(myStatusItem->text(), QString::fromLatin1(kUpdateNotCheckedTitle));
    QVERIFY(!myStatusItem->isChecked());
}

void UpdateCheckTest::aMissingVersionStringIsReportedAndNothingIsFetched()
{
    myServer.setResponse({200, "text/xml", updateList({kNewer}), true});
    const int requestsBefore = myServer.requestCount();
    QCoreApplication::setApplicationVersion(QString());
    UpdateCheck check({myServer.url("/apps.plist"), kPrefix}, myAlerts, myUrls);
    const bool started = check.checkForUpdate();
    QCoreApplication::setApplicationVersion(kRunningVersion);

    QVERIFY(!started);
    QCOMPARE(myAlerts.shown.size(), 1);
    QCOMPARE(myAlerts.shown.first().informative,
             QStringLiteral("Can't check for updates:\nNo app version string found."));
    QTest::qWait(100);
    QCOMPARE(myServer.requestCount(), requestsBefore);
}

void UpdateCheckTest::aFirstLaunchFetchesTheListOnceAndADisabledCheckNever()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString store = folder.filePath(QStringLiteral("Quelby.conf"));
    myServer.setResponse({200, "text/xml", updateList({kSame}), true});

    for (const bool switchedOff : {true, false}) {
        {
            QSettings settings(store, QSettings::IniFormat);
            settings.clear();
            settings.setValue(kNoUpdateCheckKey, switchedOff);
        }
        const int requestsBefore = myServer.requestCount();
        ShellSetup setup;
        setup.openSettings = [store] {
            return std::make_unique<QSettings>(store, QSettings::IniFormat);
        };
        setup.updateSite = {myServer.url("/apps.plist"), kPrefix};
        setup.alerts = &myAlerts;
        setup.urls = &myUrls;
        AppDelegate delegate(setup);
        QMenuBar menuBar;
        QMenu* help = delegate.addHelpMenu(&menuBar);
        QSignalSpy finished(&delegate.updateCheck(), &UpdateCheck::finished);

        delegate.applicationDidFinishLaunching();
        if (switchedOff) {
            QVERIFY(!finished.wait(300));
        } else {
            QVERIFY(finished.wait(20000));
        }

        QCOMPARE(myServer.requestCount() - requestsBefore, switchedOff ? 0 : 1);
        const QList<QAction*> items = help->actions();
        const auto status = std::find_if(items.begin(), items.end(), [](QAction* item) {
            return item->objectName() == QLatin1String("actionUpdateStatus");
        });
        QVERIFY(status != items.end());
        QCOMPARE((*status)->text(), QString::fromLatin1(switchedOff ? kUpdateNotCheckedTitle
                                                                    : kCheckedForUpdateTitle));
        QCOMPARE(QSettings(store, QSettings::IniFormat).value(kNoUpdateCheckKey).toBool(),
                 switchedOff);
    }
    QVERIFY(myAlerts.shown.isEmpty());
}

QTEST_MAIN(UpdateCheckTest)
#include "test_update_check.moc"
