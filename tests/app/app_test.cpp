// The shell: the update check against a server of the test's own, its schedule, the Help menu.
#include "app/about_box.h"
#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/preferences_dialog.h"
#include "app/ref_view_controller.h"
#include "app/update_check.h"
#include "app/update_schedule.h"
#include "app/update_version.h"
#include "shell_config.h"

#include <QCheckBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPdfDocument>
#include <QPdfView>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <plist/plist.h>

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
// The largest list taken: the real one is a few hundred bytes.
constexpr qsizetype kListLimit = 64 * 1024;
// The longest version accepted, with every kind of character allowed in one.
const QString kLongVersion = QStringLiteral("1.2.3-rc~4+Build.567890123456789");
const QString kHostile =
    QStringLiteral("<img src=\"file:///dev/zero\"><a href=\"https://x.example/\">2</a>");

QByteArray updateList(const QList<QStringList>& entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (const QStringList& entry : entries) {
        xml += QStringLiteral("<dict><key>AppName</key><string>%1</string><key>Version</key>"
                              "<string>%2</string><key>URL</key><string>%3</string></dict>")
                   .arg(entry[0], entry[1].toHtmlEscaped(), entry[2]);
    }
    return (xml + "</array></plist>").toUtf8();
}

// The same list in the binary format.
QByteArray binaryList(const QByteArray& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    QByteArray binary(bytes, static_cast<qsizetype>(length));
    plist_to_bin_free(bytes);
    plist_free(root);
    return binary;
}

// A root array holding arrays as deep as the size limit allows, closed or left open.
QByteArray nestedList(bool closed)
{
    const QByteArray open = "<array>", close = "</array>", ends = "<plist></plist>";
    const qsizetype levels =
        (kListLimit - ends.size()) / (open.size() + (closed ? close.size() : 0));
    return "<plist>" + open.repeated(levels) + (closed ? close.repeated(levels) : "") + "</plist>";
}

QString offer(const QString& version)
{
    return "An update to this app to version " + version +
           " is available.|You are currently running Quelby version 1.0.0.\nPlease choose "
           "whether to download this update now in your default browser.|Ignore,Download";
}

// The app's set-up with its settings in the file at store, its update list
// served by server, and user answering every alert and opening every address.
ShellSetup shellFor(const QString& store, const LocalHttpServer& server, ScriptedUser& user)
{
    ShellSetup setup;
    setup.openSettings = [store] {
        return std::make_unique<QSettings>(store, QSettings::IniFormat);
    };
    setup.updateSite = {server.url(), kPrefix};
    setup.alerts = &user;
    setup.urls = &user;
    return setup;
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
                      QByteArray(kListLimit + 1 - list.size(), '\n'));
        // name, canned response, the alerts seen and then "marked" for the check mark, links opened
        // clang-format off
        const std::tuple<const char*, QByteArray, QStringList, QList<QUrl>> rows[] = {
            {"not found", http(list, 404), {}, {}},
            {"another MIME type", http(list, 200, "application/octet-stream"), {}, {}},
            {"server never answers", {}, {}, {}},
            {"list over 64 KiB is dropped", http(tooBig), {}, {}},
            {"binary list", http(binaryList(list)), {listError}, {}},
            {"arrays nested as deep as the limit allows", http(nestedList(true)), {}, {}},
            {"unclosed arrays as deep as the limit allows", http(nestedList(false)), {listError},
             {}},
            {"not a property list", http("Quelby 1.1.0 is out!", 200, "text/plain"), {listError}, {}},
            {"root is not an array",
             http(QByteArray(list).replace("<array>", "").replace("</array>", "")), {listError}, {}},
            {"own entry without a version",
             http(QByteArray(list).replace("<key>Version</key><string>1.1.0</string>", "")),
             {listError}, {}},
            {"empty array", http(updateList({})), {"!An error occurred:|Update Property List has no entries.|OK"}, {}},
            {"same version, media type in any case with a charset",
             http(updateList({{"Quelby", "1.0.0", kPrefix}}), 200, "Text/XML; charset=utf-8"),
             {"marked"}, {}},
            {"link that only contains the prefix",
             http(updateList({{"Quelby", "1.1.0", "https://elsewhere.example/?u=" + kPrefix}})),
             {"marked"}, {}},
            {"one offer, the highest version, the first of equals; Download opens its link",
             http(updateList({newer, {"Quelby", "1.10.0", kPrefix + "10.deb"},
                              {"Quelby", "01.10.0", kPrefix + "010.deb"},
                              {"Quelby", "1.9.0", kPrefix}})),
             {offer("1.10.0"), "marked"}, {QUrl(kPrefix + "10.deb")}},
            {"versions too long or with other characters are skipped",
             http(updateList({{"Quelby", kLongVersion + "9", kPrefix},
                              {"Quelby", kHostile, kPrefix}, {"Quelby", "1.1.0 beta", kPrefix},
                              {"Quelby", kLongVersion, kPrefix}})),
             {offer(kLongVersion), "marked"}, {QUrl(kPrefix)}},
            {"only broken versions: not even checked",
             http(updateList({{"Quelby", kHostile, kPrefix}})), {}, {}},
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

    // Text from the list reaches the box as it is, never as markup that links or loads.
    void alertsShowTextAsPlainText()
    {
        const std::unique_ptr<QMessageBox> box = makeAlertBox(
            {Alert::Style::informational, offer(kHostile).section('|', 0, 0), kHostile, {"OK"}});
        QStringList shown;
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                shown.append(label->text());
            }
        }
        shown.sort();
        QCOMPARE(shown, QStringList({kHostile, offer(kHostile).section('|', 0, 0)}));
    }

    void versionsOrderByTheirPartsAndKeepToTheirCharacters()
    {
        using std::strong_ordering;
        const std::tuple<const char*, const char*, strong_ordering> orders[] = {
            {"1.10", "1.9", strong_ordering::greater},
            {"10", "9", strong_ordering::greater},
            {"1.1.0", "1.1", strong_ordering::greater},
            {"01.2", "1.2", strong_ordering::equal},
            {"99999999999999999999", "100000000000000000000", strong_ordering::less},
            {"1.0-rc1", "1.0-rc2", strong_ordering::less},
            {"1.a", "1.10", strong_ordering::greater},
            {"1.B", "1.a", strong_ordering::less},
        };
        for (const auto& [left, right, order] : orders) {
            const QString first = QString::fromLatin1(left), second = QString::fromLatin1(right);
            QVERIFY2(compareVersions(first, second) == order, left);
            QVERIFY2(compareVersions(second, first) == 0 <=> order, right);
        }
        QCOMPARE(kLongVersion.size(), 32);
        const std::pair<QString, bool> versions[] = {
            {"1.0.0", true},       {kLongVersion, true}, {kLongVersion + "0", false},
            {"", false},           {"1.0 beta", false},  {"1,0", false},
            {"1.0\u00e9", false}, {kHostile, false},    {"1.0_1", false},
        };
        for (const auto& [version, wellFormed] : versions) {
            QVERIFY2(isWellFormedVersion(version) == wellFormed, qPrintable(version));
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

    // The first start asks whether to look for updates, before anything goes out; the answer
    // is kept and the question never comes again. Settings from before the question count as
    // an answer already given.
    void theFirstStartAsksOnceWhetherToCheckForUpdates()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
        const QString question = "Check for updates automatically?";
        // the answer's button, whether noUpdateCheck is stored before the start, requests made
        const std::tuple<int, QVariant, int> rows[] = {
            {0, {}, 0}, {1, {}, 1}, {0, false, 1}, {1, true, 0}};
        for (const auto& [answer, storedBefore, requests] : rows) {
            LocalHttpServer server(http(updateList({{"Quelby", "1.0.0", kPrefix}})));
            QTemporaryDir folder;
            const QString store = folder.filePath("Quelby.conf");
            if (storedBefore.isValid()) {
                QSettings(store, QSettings::IniFormat).setValue(kNoUpdateCheckKey, storedBefore);
            }
            struct AskingUser : ScriptedUser
            {
                int answer = 0;
                const LocalHttpServer* server = nullptr;
                int requestsWhenAsked = -1;
                int run(const Alert& alert) override
                {
                    requestsWhenAsked = server->requests;
                    ScriptedUser::run(alert);
                    return answer;
                }
            } user;
            user.answer = answer;
            user.server = &server;
            const ShellSetup setup = shellFor(store, server, user);
            for (int start = 0; start < 2; ++start) {
                AppDelegate delegate(setup);
                delegate.updateCheck().setTransferTimeout(1000);
                QSignalSpy finished(&delegate.updateCheck(), &UpdateCheck::finished);
                delegate.applicationDidFinishLaunching();
                if (start == 0 && requests == 1) {
                    QVERIFY(finished.wait(20000));
                }
                QTest::qWait(50);
            }
            const QStringList asked = user.alerts.filter(question);
            QCOMPARE(asked.size(), storedBefore.isValid() ? 0 : 1);
            if (!asked.isEmpty()) {
                QCOMPARE(asked.first().section('|', 2), QStringLiteral("No,Yes"));
                QCOMPARE(user.requestsWhenAsked, 0);
            }
            QCOMPARE(server.requests, requests);
            QCOMPARE(QSettings(store, QSettings::IniFormat).value(kNoUpdateCheckKey).toBool(),
                     requests == 0);
        }
    }

    // --help and --version end the start, --problems shows the Problems view; folders are
    // bytes, and after "--" even a name that begins with a dash is one.
    void theCommandLineTellsOptionsFromFolders()
    {
        using Action = AppCommandLine::Action;
        const struct
        {
            std::vector<std::string> arguments;
            Action action;
            std::vector<std::string> folders;
        } rows[] = {
            {{}, Action::openWindow, {}},
            {{"Pictures", "caf\xe9"}, Action::openWindow, {"Pictures", "caf\xe9"}},
            {{"Pictures", "--help"}, Action::showHelp, {}},
            {{"-h"}, Action::showHelp, {}},
            {{"--version", "Pictures"}, Action::showVersion, {}},
            {{"-", "--", "--help", "-v"}, Action::openWindow, {"-", "--help", "-v"}},
            {{"--bogus", "Pictures"}, Action::usageError, {}},
            {{"--problems", "Pictures"}, Action::openWindow, {"Pictures"}},
            {{"--", "--problems"}, Action::openWindow, {"--problems"}},
        };
        for (const auto& [arguments, action, folders] : rows) {
            const AppCommandLine line = parseAppCommandLine(arguments);
            QVERIFY(line.action == action);
            QVERIFY(line.folders == folders);
            QCOMPARE(line.showProblems, !arguments.empty() && arguments.front() == "--problems");
            QCOMPARE(line.error.empty(), action != Action::usageError);
            // Before the start, among the toolkit's own options, each is told the same.
            std::vector<const char*> argv{"quelby", "-platform", "xcb", "--style=Fusion"};
            for (const std::string& argument : arguments) {
                argv.push_back(argument.c_str());
            }
            argv.push_back("-reverse");
            const AppCommandLine early =
                parseBeforeStart(static_cast<int>(argv.size()), argv.data());
            QVERIFY(early.action == action);
            QVERIFY(early.action != Action::openWindow || early.folders == folders);
        }
        QVERIFY(appHelpText().starts_with("Usage: quelby [OPTION]... [FOLDER]...\n"));
        QCOMPARE(appVersionText("1.2.3"), std::string("quelby 1.2.3\n"));
    }

    // Where no display is, an unknown option is still a usage error, not the toolkit's abort.
    void anUnknownOptionIsAUsageErrorWithoutADisplay()
    {
        // the arguments, the platform asked for in the environment (empty: none)
        const std::pair<QStringList, QString> rows[] = {
            {{"--bogus"}, {}},
            {{"--bogus"}, "xcb"},
            {{"-platform", "xcb", "Pictures", "--bogus"}, {}},
        };
        for (const auto& [arguments, platform] : rows) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
                environment.remove(QString::fromLatin1(name));
            }
            if (!platform.isEmpty()) {
                environment.insert("QT_QPA_PLATFORM", platform);
            }
            QProcess app;
            app.setProcessEnvironment(environment);
            app.start(QStringLiteral(QUELBY_APP_PATH), arguments);
            QVERIFY(app.waitForFinished(20000));
            const QString errors = QString::fromUtf8(app.readAllStandardError());
            QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 2,
                     qPrintable(errors));
            QCOMPARE(errors, QStringLiteral("quelby: unknown option --bogus (a folder whose name "
                                            "begins with - goes after --)\nTry 'quelby --help' "
                                            "for more information.\n"));
            QCOMPARE(app.readAllStandardOutput(), QByteArray());
        }
    }

    // Preferences… sits in the Edit menu, made after File when the bar has none, and holds the
    // first start's answer; switched on, a check that is due goes out at once.
    void thePreferencesHoldTheUpdateAnswerAndTakeEffectAtOnce()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
        // what is stored before, whether the box shows checked, the menus the bar ends with
        const std::tuple<QVariant, bool, bool> rows[] = {
            {{}, false, true}, {true, false, false}, {false, true, true}};
        for (const auto& [storedBefore, checked, barHasEdit] : rows) {
            LocalHttpServer server(http(updateList({{"Quelby", "1.0.0", kPrefix}})));
            QTemporaryDir folder;
            const QString store = folder.filePath("Quelby.conf");
            const auto stored = [&store] {
                return QSettings(store, QSettings::IniFormat).value(kNoUpdateCheckKey);
            };
            if (storedBefore.isValid()) {
                QSettings(store, QSettings::IniFormat).setValue(kNoUpdateCheckKey, storedBefore);
            }
            ScriptedUser user;
            const ShellSetup setup = shellFor(store, server, user);
            AppDelegate delegate(setup);
            delegate.updateCheck().setTransferTimeout(1000);
            QMenuBar menuBar;
            menuBar.addMenu("&File")->addAction("Quit");
            if (barHasEdit) {
                QMenu* edit = menuBar.addMenu("&Edit");
                edit->setObjectName("editMenu");
                edit->addAction("Copy");
            }
            menuBar.addMenu("&View");
            delegate.addHelpMenu(&menuBar);
            QAction* item = delegate.addPreferencesItem(&menuBar);
            QStringList menus;
            for (const QAction* menu : menuBar.actions()) {
                menus.append(menu->text());
            }
            QCOMPARE(menus, (QStringList{"&File", "&Edit", "&View", "&Help"}));
            QStringList editItems;
            for (const QAction* action : menuBar.actions().at(1)->menu()->actions()) {
                editItems.append(action->text());
            }
            QCOMPARE(editItems, (barHasEdit ? QStringList{"Copy", "", "&Preferences…"}
                                            : QStringList{"&Preferences…"}));
            QVERIFY(!item->shortcut().isEmpty());

            item->trigger();
            PreferencesDialog* preferences = delegate.preferences();
            QVERIFY(preferences && preferences->isVisible());
            QCheckBox* box = nullptr;
            for (QCheckBox* candidate : preferences->findChildren<QCheckBox*>()) {
                if (candidate->accessibleName() == "Check for updates automatically") {
                    box = candidate;
                }
            }
            QVERIFY(box != nullptr);
            QCOMPARE(box->isChecked(), checked);
            // Shown, it writes nothing.
            QCOMPARE(stored().isValid(), storedBefore.isValid());
            QCOMPARE(stored().toBool(), storedBefore.toBool());

            // The click that switches the check on sends it; the one that switches it off, none.
            QSignalSpy finished(&delegate.updateCheck(), &UpdateCheck::finished);
            for (const bool on : {!checked, checked}) {
                QTest::mouseClick(box, Qt::LeftButton);
                QCOMPARE(stored().toBool(), !on);
                if (on) {
                    QVERIFY(finished.wait(20000));
                }
                QCOMPARE(server.requests, on || !checked ? 1 : 0);
            }

            // Changed behind it, it shows the change when shown again.
            preferences->close();
            QSettings(store, QSettings::IniFormat).setValue(kNoUpdateCheckKey, checked);
            item->trigger();
            QCOMPARE(delegate.preferences(), preferences);
            QCOMPARE(box->isChecked(), !checked);
            QCOMPARE(server.requests, 1);
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
        // The manual, as rendered, has a section on each thing the app and the tool do.
        QPdfDocument* manual = delegate.refWindows().front()->document();
        QString manualText;
        for (int page = 0; page < manual->pageCount(); ++page) {
            manualText += manual->getAllText(page).text() + QLatin1Char('\n');
        }
        // The text comes back in lines, a heading ending its own.
        manualText.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        for (const char* heading :
             {"The three operations", "Files without attributes: the manifest", "Repair from a copy",
              "Healing from parity", "Moving digests in and out", "Checking regularly",
              "Your collection: Folders and Problems", "Dark mode", "Settings and updates"}) {
            QVERIFY2(manualText.contains(QLatin1String(heading) + QLatin1Char('\n')), heading);
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

        // Escape and Ctrl+W close the window they reach, and only that one.
        const std::pair<Qt::Key, Qt::KeyboardModifiers> closers[] = {
            {Qt::Key_Escape, Qt::NoModifier}, {Qt::Key_W, Qt::ControlModifier}};
        for (std::size_t index = 0; index < std::size(closers); ++index) {
            RefViewController& window = *delegate.refWindows()[index];
            window.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            QTest::keyClick(window.pdfView(), closers[index].first, closers[index].second);
            QTRY_VERIFY(!window.isVisible());
        }
        QVERIFY(delegate.refWindows().back()->isVisible());
    }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
