// The Problems view on a state made by the command line's own scrub, driven through its buttons.

#include "engine/scrub/state/scrub_state.h"
#include "engine/store/tag_store.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"
#include "window/problems_view.h"
#include "window/report_view.h"
#include "window/view_controller.h"

#include <QAction>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDockWidget>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using quelby::test::TempTree;

using quelby::test::PrivateBus;

namespace {

constexpr time_t kLongAgo = 1'500'000'000;

struct ScriptedUser : AlertPresenter
{
    int answer = 0;
    QStringList asked;
    int run(const Alert& alert) override
    {
        asked.append(alert.message);
        return answer;
    }
};

// Stands in for the desktop's file manager on a private bus.
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList shown;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId)
    {
        shown.append(uris.join(',') + '|' + startupId);
    }
};

int cli(const std::string& arguments)
{
    return quelby::test::runCommand(std::string(QUELBY_CLI_PATH) + " " + arguments +
                                    " >/dev/null 2>&1");
}

// Two tagged files whose bytes were changed with their times kept, found by a scrub; intact
// copies of both in copy/. The state lives in state/, where the window looks by default.
// tagOptions go to the Tag before the damage (a parity set, for one).
struct DamagedCollection
{
    TempTree tree;
    std::string photos = tree.folder("photos");
    std::string first = tree.file("photos/one.jpg", "first picture");
    std::string second = tree.file("photos/sub/two.jpg", "second picture");
    std::string copy = tree.folder("copy");
    std::string state = tree.path("state/quelby/scrub.sqlite");

    explicit DamagedCollection(const std::string& tagOptions = {})
    {
        tree.file("copy/one.jpg", "first picture");
        tree.file("copy/sub/two.jpg", "second picture");
        for (const std::string& file : {first, second}) {
            quelby::test::setModificationTime(file, kLongAgo);
        }
        QCOMPARE_EQ(cli("tag -t " + tagOptions + " " + photos), 0);
        for (const std::string& file : {first, second}) {
            auto bytes = quelby::test::readWholeFile(file);
            bytes[0] = 'X';
            quelby::test::writeWholeFile(file, bytes);
            quelby::test::setModificationTime(file, kLongAgo);
        }
        QVERIFY(cli("scrub --state " + state + " " + photos) != 0);
        ::setenv("XDG_STATE_HOME", tree.path("state").c_str(), 1);
    }
};

QStringList rows(const ViewController& window, int column)
{
    QStringList texts;
    auto* list = window.findChild<QTreeWidget*>("problemsList");
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        texts.append(list->topLevelItem(row)->text(column));
    }
    return texts;
}

void select(ViewController& window, int row)
{
    auto* list = window.findChild<QTreeWidget*>("problemsList");
    list->setCurrentItem(list->topLevelItem(row));
}

void press(ViewController& window, const char* button)
{
    auto* push = window.findChild<QPushButton*>(button);
    QVERIFY(push->isEnabled());
    QTest::mouseClick(push, Qt::LeftButton);
}

} // namespace

class ProblemsViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    // Shown at start with both problems and their verdicts; Repair from… shows the dry run, then
    // Repair brings back only the selected file, keeps its damaged bytes, and closes its problem.
    void aDamagedFileIsListedAndRepairedFromACopy()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        ViewController window;
        window.show();
        QVERIFY(window.problemsDock->isVisible());
        QCOMPARE(rows(window, 0), (QStringList{QString::fromStdString(collection.first),
                                               QString::fromStdString(collection.second)}));
        QCOMPARE(rows(window, 1), (QStringList{"differs", "differs"}));
        const QString damage = "not modified since it was tagged: possible damage";
        QTRY_COMPARE(rows(window, 2), (QStringList{damage, damage}));
        for (const char* button : {"repairFromButton", "acceptEditedButton", "showInFilesButton"}) {
            QVERIFY2(!window.findChild<QPushButton*>(button)->isEnabled(), button);
        }
        select(window, 0);
        window.findChild<QTreeWidget*>("problemsList")->clearSelection();
        QVERIFY(!window.findChild<QPushButton*>("repairFromButton")->isEnabled());

        int asked = 0;
        window.problemsView->setCopyChooser([&] {
            ++asked;
            return QString::fromStdString(collection.copy);
        });
        select(window, 0);
        auto* repair = window.findChild<QPushButton*>("repairButton");
        QVERIFY(repair->isHidden());
        press(window, "repairFromButton");
        QTRY_VERIFY(repair->isVisible() && repair->isEnabled());
        QCOMPARE(asked, 1);
        const QString report = QString::fromUtf8(window.outputTextbox->utf8Text());
        QVERIFY2(report.contains(QString::fromStdString(collection.first)), qPrintable(report));
        QVERIFY2(!report.contains("two.jpg"), qPrintable(report));
        QCOMPARE(quelby::test::readWholeFile(collection.first), "Xirst picture");

        QTest::mouseClick(repair, Qt::LeftButton);
        QTRY_COMPARE(rows(window, 0), QStringList{QString::fromStdString(collection.second)});
        QCOMPARE(quelby::test::readWholeFile(collection.first), "first picture");
        QCOMPARE(quelby::test::readWholeFile(collection.first + ".damaged"), "Xirst picture");
        QVERIFY(quelby::test::storedAttribute(collection.first, quelby::kDigestAttributeName));
        QCOMPARE(quelby::test::readWholeFile(collection.second), "Xecond picture");
        QVERIFY(repair->isHidden());
        // The state itself knows, down to the folder's count of open problems.
        auto state = quelby::scrub::ScrubState::open(collection.state, [](const std::string&) {});
        QVERIFY(state.has_value());
        const auto folders = (*state)->folders();
        QVERIFY(folders.has_value() && folders->size() == 1);
        QCOMPARE(folders->front().problems, 1);
    }

    // With a parity set in the file's folder, Repair needs no copy: it shows the dry run and
    // rebuilds the selected file alone, its damaged bytes kept, its problem closed.
    void aDamagedFileIsRepairedFromItsFoldersParityWithoutAskingForACopy()
    {
        DamagedCollection collection("--parity 10");
        QVERIFY(!QTest::currentTestFailed());
        QVERIFY(QFile::exists(QString::fromStdString(collection.photos + "/.quelby.par2")));
        ViewController window;
        window.show();
        int asked = 0;
        window.problemsView->setCopyChooser([&] {
            ++asked;
            return QString::fromStdString(collection.copy);
        });
        auto* repair = window.findChild<QPushButton*>("repairButton");
        QVERIFY(repair->isHidden());
        select(window, 0);
        QVERIFY(repair->isVisible());
        press(window, "repairButton");
        QTRY_COMPARE(rows(window, 0), QStringList{QString::fromStdString(collection.second)});
        QCOMPARE(asked, 0);
        QCOMPARE(quelby::test::readWholeFile(collection.first), "first picture");
        QCOMPARE(quelby::test::readWholeFile(collection.first + ".damaged"), "Xirst picture");
        QCOMPARE(quelby::test::readWholeFile(collection.second), "Xecond picture");
        const QString report = QString::fromUtf8(window.outputTextbox->utf8Text());
        const QString first = QString::fromStdString(collection.first);
        QVERIFY2(report.contains("⚠️ Would repair " + first + " from parity\n") &&
                     report.contains("✅ Repaired " + first + " from parity\n"),
                 qPrintable(report));
    }

    // Each row shows the verdict the scrub stored, and its next step, before the look at the
    // file now has ended; what that look finds then takes the row's place.
    void theStoredVerdictShowsAtOnceAndTheLookAtTheFileNowWins()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        {
            auto state =
                quelby::scrub::ScrubState::open(collection.state, [](const std::string&) {});
            QVERIFY(state.has_value());
            auto known = (*state)->knownFiles(collection.photos);
            QVERIFY(known.has_value());
            quelby::scrub::KnownFile first = known->at("one.jpg");
            QCOMPARE(first.verdict, std::optional(quelby::Verdict::damaged));
            first.verdict = quelby::Verdict::edited;
            QVERIFY((*state)->record(collection.photos, "one.jpg", first, kLongAgo).has_value());
        }
        ViewController window;
        const QString damage = "not modified since it was tagged: possible damage";
        QCOMPARE(rows(window, 2), (QStringList{"modified after it was tagged", damage}));
        QCOMPARE(rows(window, 4), (QStringList{"Accept as edited", "Repair from a copy"}));
        QTRY_COMPARE(rows(window, 2), (QStringList{damage, damage}));
        QCOMPARE(rows(window, 4), (QStringList{"Repair from a copy", "Repair from a copy"}));
    }

    // Both files were repaired and scrubbed outside the window: a Repair of a row it still lists
    // finds nothing to do, and the list is read again at once, without another click.
    void aRepairThatFindsTheFileWholeAgainLeavesNoStaleRows()
    {
        DamagedCollection collection("--parity 10");
        QVERIFY(!QTest::currentTestFailed());
        ViewController window;
        window.show();
        QCOMPARE(rows(window, 0).size(), 2);
        QCOMPARE(rows(window, 4), (QStringList{"Repair", "Repair"}));
        QCOMPARE(cli("repair " + collection.photos), 0);
        QCOMPARE(cli("scrub --state " + collection.state + " " + collection.photos), 0);
        QCOMPARE(rows(window, 0).size(), 2);
        select(window, 0);
        press(window, "repairButton");
        QTRY_COMPARE(rows(window, 0), QStringList{});
    }

    // A scrub killed before it finished has committed what it found: its problems are listed.
    void problemsOfAScrubThatNeverFinishedAreListed()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        const std::string other = collection.tree.folder("other");
        {
            auto state =
                quelby::scrub::ScrubState::open(collection.state, [](const std::string&) {});
            QVERIFY(state.has_value());
            const quelby::scrub::KnownFile damaged{
                4, 1, 1, kLongAgo, quelby::scrub::LastResult::differs, kLongAgo};
            QVERIFY((*state)->record(other, "x.jpg", damaged, kLongAgo).has_value());
        }
        ViewController window;
        QCOMPARE(rows(window, 0), (QStringList{QString::fromStdString(other + "/x.jpg"),
                                               QString::fromStdString(collection.first),
                                               QString::fromStdString(collection.second)}));
    }

    // Nothing happens until the user confirms; then the file is retagged and its problem closed.
    void acceptingAnEditRetagsOnlyThatFileAfterAsking()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        ViewController window;
        ScriptedUser user;
        window.setAlertPresenter(user);
        select(window, 1);
        press(window, "acceptEditedButton");
        QCOMPARE(user.asked,
                 QStringList{"Accept " + QString::fromStdString(collection.second) + " as edited?"});
        QTest::qWait(50);
        QCOMPARE(rows(window, 0).size(), 2);

        // Accepting dates the new digest even with Times off, whatever stamp was there before.
        QVERIFY(!window.timesCheckbox->isChecked());
        quelby::test::removeAttribute(collection.second, quelby::kTimeAttributeName);
        user.answer = 1;
        press(window, "acceptEditedButton");
        QTRY_COMPARE(rows(window, 0), QStringList{QString::fromStdString(collection.first)});
        QVERIFY(quelby::test::storedAttribute(collection.second, quelby::kTimeAttributeName));
        QCOMPARE(cli("check " + collection.photos + "/sub"), 0);
        QVERIFY(cli("check " + collection.photos) != 0);
        QCOMPARE(quelby::test::readWholeFile(collection.second), "Xecond picture");
    }

    // A damaged file swapped since the scrub for a link to a file outside the folder: accepting
    // it as edited must not put a digest on the file outside, nor call the problem closed.
    void aFileSwappedForALinkOutsideIsNeitherRetaggedNorClosed()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        const std::string outside = collection.tree.file("outside.txt", "not yours");
        QCOMPARE(::unlink(collection.first.c_str()), 0);
        QCOMPARE(::symlink(outside.c_str(), collection.first.c_str()), 0);
        ViewController window;
        ScriptedUser user;
        user.answer = 1;
        window.setAlertPresenter(user);
        select(window, 0);
        press(window, "acceptEditedButton");
        QTRY_VERIFY(window.outputTextbox->plainText().contains(
            QStringLiteral("the link leads outside the folder")));
        QVERIFY(!quelby::test::storedAttribute(outside, quelby::kDigestAttributeName));
        QCOMPARE(rows(window, 0).size(), 2);
    }

    // The file manager's own call when one is on the bus; the folder opens when none is.
    void showInFilesAsksTheFileManagerOrOpensTheFolder()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        PrivateBus bus;
        QVERIFY2(!bus.address().empty(), "no private dbus-daemon");
        const QString address = QString::fromStdString(bus.address());
        {
            QDBusConnection app = QDBusConnection::connectToBus(address, "app");
            QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
            FakeFileManager files;
            QVERIFY(desktop.registerObject("/org/freedesktop/FileManager1", &files,
                                           QDBusConnection::ExportAllSlots));
            QVERIFY(desktop.registerService("org.freedesktop.FileManager1"));
            ViewController window;
            QList<QUrl> opened;
            window.problemsView->setFileManagerBus(app);
            window.problemsView->setFolderOpener([&](const QUrl& folder) { opened.append(folder); });
            select(window, 1);
            press(window, "showInFilesButton");
            QTRY_COMPARE(files.shown,
                         QStringList{"file://" + QString::fromStdString(collection.second) + "|"});
            QVERIFY(opened.isEmpty());

            QVERIFY(desktop.unregisterService("org.freedesktop.FileManager1"));
            press(window, "showInFilesButton");
            QTRY_COMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(
                                     QString::fromStdString(collection.photos + "/sub"))});
            QCOMPARE(files.shown.size(), 1);
        }
        QDBusConnection::disconnectFromBus("app");
        QDBusConnection::disconnectFromBus("desktop");
    }

    // View ▸ Show Problems hides and shows the view; every control is named for a screen reader.
    void theViewIsInTheViewMenuAndItsControlsAreNamed()
    {
        DamagedCollection collection;
        QVERIFY(!QTest::currentTestFailed());
        ViewController window;
        window.show();
        auto* action = window.findChild<QAction*>("actionShowProblems");
        QVERIFY(action && action->isCheckable());
        QCOMPARE(action->text(), QStringLiteral("Show Problems"));
        QVERIFY(window.findChild<QMenu*>("viewMenu")->actions().contains(action));
        action->trigger();
        QVERIFY(!window.problemsDock->isVisible());
        action->trigger();
        QVERIFY(window.problemsDock->isVisible());
        QVERIFY(window.problemsDock->windowTitle() != QStringLiteral("Problems"));

        const std::pair<const char*, QString> names[] = {
            {"problemsList", "Problems"},
            {"repairFromButton", "Repair from…"},
            {"repairButton", "Repair"},
            {"acceptEditedButton", "Accept as edited"},
            {"showInFilesButton", "Show in Files"},
        };
        for (const auto& [object, name] : names) {
            auto* control = window.findChild<QWidget*>(object);
            QVERIFY2(control, object);
            QCOMPARE(control->accessibleName(), name);
            QVERIFY2(!control->toolTip().isEmpty(), object);
        }
    }
};

QTEST_MAIN(ProblemsViewTest)
#include "problems_view_test.moc"
