// The shell: the update check against a server of the test's own, its schedule, the Help menu.
#include "app/about_box.h"
#include "app/app_delegate.h"
#include "app/ref_view_controller.h"
#include "app/update_check.h"
#include "app/update_schedule.h"
#include "shell_config.h"

#include <QMenuBar>
#include <QNetworkProxy>
#include <QPdfDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Answers every alert with its second button; records it as read ("!": critical) and each link.
struct ScriptedUser : AlertPresenter, UrlOpener
{
    QStringList alerts;
    QList<QUrl> opened;
    int run(const Alert& alert) override
    {
        alerts.append((alert.style == Alert::Style::critical ? "!" : "") + alert.message + '|' +
                      alert.informative + '|' + alert.buttons.join(','));
        return 1;
    }
    void open(const QUrl& address) override { opened.append(address); }
};

// Answers every request with the canned response, or, while that is empty, not at all.
struct LocalHttpServer : QTcpServer
{
    QByteArray response;
    int requests = 0;
    explicit LocalHttpServer(QByteArray canned) : response(std::move(canned))
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* client = nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [this, client] {
                // A request may come in pieces: answer once its header is complete.
                if (client->peek(65536).contains("\r\n\r\n") && ++requests > 0 &&
                    !response.isEmpty()) {
                    client->write(response);
                    client->disconnectFromHost();
                }
            });
        });
    }
    QUrl url() const { return QUrl("http://127.0.0.1:" + QString::number(serverPort())); }
};

QByteArray http(const QByteArray& body, int status = 200, const QByteArray& type = "text/xml")
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

const QString kPrefix = QStringLiteral("https://downloads.example/quelby/");

QByteArray updateList(const QList<QStringList>& entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (const QStringList& entry : entries) {
        xml += QStringLiteral("<dict><key>AppName</key><string>%1</string><key>Version</key>"
                              "<string>%2</string><key>URL</key><string>%3</string></dict>")
                   .arg(entry[0], entry[1], entry[2]);
    }
    return (xml + "</array></plist>").toUtf8();
}

QString offer(const char* version)
{
    return "An update to this app to version " + QString::fromLatin1(version) +
           " is available.|You are currently running Quelby version 1.0.0.\nPlease choose "
           "whether to download this update now in your default browser.|Ignore,Download";
}

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

private slots:
    void answersShowWhatTheUserSees()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
        const QStringList newer{"Quelby", "1.1.0", kPrefix + "1.1.0.deb"};
        const QByteArray list = updateList({newer});
        const QString listError = "!An error occurred:|Error in update Property List.|OK";
        QByteArray tooBig = list;
        tooBig.insert(tooBig.indexOf("</array>"),
                      QByteArray(UpdateCheck::kMaxListSize + 1 - list.size(), '\n'));
        // name, canned response, the alerts seen and then "marked" for the check mark, links opened
        // clang-format off
        const std::tuple<const char*, QByteArray, QStringList, QList<QUrl>> rows[] = {
            {"not found", http(list, 404), {}, {}},
            {"another MIME type", http(list, 200, "application/octet-stream"), {}, {}},
            {"server never answers", {}, {}, {}},
            {"list over 1 MiB is dropped", http(tooBig), {}, {}},
            {"not a property list", http("Quelby 1.1.0 is out!", 200, "text/plain"), {listError}, {}},
            {"root is not an array",
             http(QByteArray(list).replace("<array>", "").replace("</array>", "")), {listError}, {}},
            {"own entry without a version",
             http(QByteArray(list).replace("<key>Version</key><string>1.1.0</string>", "")),
             {listError}, {}},
            {"empty array", http(updateList({})), {"!An error occurred:|Update Property List has no entries.|OK"}, {}},
            {"same version, charset parameter accepted",
             http(updateList({{"Quelby", "1.0.0", kPrefix}}), 200, "text/xml; charset=utf-8"),
             {"marked"}, {}},
            {"link that only contains the prefix",
             http(updateList({{"Quelby", "1.1.0", "https://elsewhere.example/?u=" + kPrefix}})),
             {"marked"}, {}},
            {"two entries, two offers, Download opens each",
             http(updateList({newer, {"Quelby", "1.2.0", kPrefix + "2.deb"}})),
             {offer("1.1.0"), offer("1.2.0"), "marked"}, {QUrl(newer[2]), QUrl(kPrefix + "2.deb")}},
            {"other products and broken entries are skipped",
             http(updateList({{"Other", "7.0", "https://else.example/"}, {"-", "2.0", kPrefix},
                              {"Quelby", "1.0.0", kPrefix}})
                      .replace("<key>AppName</key><string>-</string>", "")
                      .replace("<array>", "<array><string>not a dictionary</string>")),
             {"marked"}, {}},
        };
        // clang-format on
        for (const auto& [name, response, seen, opened] : rows) {
            qInfo() << name;
            LocalHttpServer server(response);
            ScriptedUser user;
            QMenu help;
            QAction* item = help.addAction(QString::fromLatin1(kUpdateNotCheckedTitle));
            UpdateCheck check({server.url(), kPrefix}, user, user);
            check.setHelpMenu(&help);
            check.setTransferTimeout(1000);
            QSignalSpy finished(&check, &UpdateCheck::finished);
            QVERIFY(check.checkForUpdate());
            QVERIFY(finished.wait(20000));

            user.alerts += item->isChecked() ? QStringList{"marked"} : QStringList{};
            QCOMPARE(server.requests, 1);
            QCOMPARE(user.alerts, seen);
            QCOMPARE(user.opened, opened);
            QCOMPARE(item->text(),
                     QString::fromLatin1(seen.contains("marked") ? kCheckedForUpdateTitle
                                                                 : kUpdateNotCheckedTitle));
        }
    }

    void updateCheckRunsOnlyWhenDue()
    {
        const QDateTime clock(QDate(2025, 11, 28), QTime(9, 20), Qt::UTC);
        const double now = double(clock.toSecsSinceEpoch() - 978307200); // seconds since 2001
        const std::tuple<const char*, QVariant, QVariant, bool, bool, double> rows[] = {
            // name, stored interval and last check, switched off, checks, interval stored after
            {"first launch", {}, {}, false, true, 43200},
            {"0.5 means 12 hours", 0.5, now - 3601, false, false, 43200},
            {"second launch within the interval", 3600.0, now - 1800, false, false, 3600},
            {"switched off, long overdue", 60.0, 1.0, true, false, 60},
        };
        QTemporaryDir folder;
        for (const auto& [name, interval, lastCheck, switchedOff, checks, intervalAfter] : rows) {
            QSettings settings(folder.filePath(name), QSettings::IniFormat);
            settings.setValue(kNoUpdateCheckKey, switchedOff);
            if (interval.isValid()) {
                settings.setValue(kUpdateCheckIntervalKey, interval);
                settings.setValue(kDateLastUpdateCheckKey, lastCheck);
            }
            int checksRun = 0;
            scheduleUpdateCheck(
                settings, [&] { return clock; }, [&] { ++checksRun; });
            QVERIFY2(checksRun == (checks ? 1 : 0), name);
            QCOMPARE(settings.value(kUpdateCheckIntervalKey).toDouble(), intervalAfter);
            QCOMPARE(settings.value(kDateLastUpdateCheckKey).toDouble(),
                     checks ? now : lastCheck.toDouble());
        }
    }

    void theHelpMenuOpensWhatItSaysAtTheShippedAddresses()
    {
        ScriptedUser user;
        ShellSetup setup;
        setup.alerts = &user;
        setup.urls = &user;
        AppDelegate delegate(setup);
        QMenuBar menuBar;
        QMenu* help = delegate.addHelpMenu(&menuBar);
        QStringList titles;
        for (const QAction* item : help->actions()) {
            titles.append(item->text());
        }
        QCOMPARE(titles.join('|'),
                 "Quelby Help|Quelby Support Page||Update not checked||About Quelby");
        help->findChild<QAction*>(QStringLiteral("actionSupport"))->trigger();
        QCOMPARE(user.opened, QList<QUrl>{shippedSupportAddress()});
        help->findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
        QVERIFY(delegate.aboutBox() != nullptr && delegate.aboutBox()->isVisible());

        // Three choices give three windows, each showing the manual.
        for (int choice = 0; choice < 3; ++choice) {
            help->findChild<QAction*>(QStringLiteral("actionHelp"))->trigger();
        }
        QCOMPARE(delegate.refWindows().size(), std::size_t{3});
        for (const auto& window : delegate.refWindows()) {
            QVERIFY(window->isVisible() && window->document() != nullptr);
            QVERIFY(window->document()->getAllText(0).text().contains("Quelby Help"));
        }

        // The shipped addresses are HTTPS, with a download prefix that ends in "/".
        const UpdateSite site = shippedUpdateSite();
        for (const QUrl& address :
             {site.listAddress, QUrl(site.downloadPrefix), shippedSupportAddress()}) {
            QVERIFY2(address.isValid() && address.scheme() == QStringLiteral("https") &&
                         !address.host().isEmpty(),
                     qPrintable(address.toString()));
        }
        QVERIFY(site.downloadPrefix.endsWith(QLatin1Char('/')));
    }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
