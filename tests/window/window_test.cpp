// The main window driven offscreen through its real controls, on real temporary folders.

#include "engine/operations/file_step.h"
#include "engine/operations/parity_refresh.h"
#include "engine/read/file_digest.h"
#include "engine/run_fixture.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "palettes.h"
#include "support/private_bus.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"
#include "window/busy_indicator.h"
#include "window/finish_notifier.h"
#include "window/line_colours.h"
#include "window/problems_view.h"
#include "window/report_export.h"
#include "window/report_view.h"
#include "window/run_progress.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProcess>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <cmath>
#include <tuple>
#include <filesystem>
#include <unistd.h>

using quelby::Operation;
using quelby::test::TempTree;
using quelby::test::contrastRatio;
using quelby::test::darkPalette;

using quelby::test::PrivateBus;

namespace {

const auto shown = [](const std::string& path) { return QFile::decodeName(path.c_str()); };

// Answers every question with the button given; records what it was asked.
struct ScriptedUser : AlertPresenter
{
    int answer = 0;
    QStringList asked;
    QList<Alert> alerts;
    int run(const Alert& alert) override
    {
        asked.append(alert.message + '|' + alert.buttons.join(','));
        alerts.append(alert);
        return answer;
    }
};

// Presses a button and returns the chooser it opened, confirmed on folder when one is given.
QFileDialog* press(ViewController& window, const char* button, const std::string& folder = {})
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(window.findChild<QPushButton*>(button), Qt::LeftButton);
    const auto choosers = window.findChildren<QFileDialog*>(QStringLiteral("folderChooser"));
    QFileDialog* chooser = choosers.isEmpty() ? nullptr : choosers.last();
    if (chooser && !folder.empty()) {
        chooser->selectFile(shown(folder));
        static_cast<QDialog*>(chooser)->accept();
    }
    return chooser;
}

// Catches what the window would tell the desktop.
struct RecordingNotifier : FinishNotifier
{
    QStringList told;
    void notify(const QString& text) override { told.append(text); }
};

// Stands in for the desktop's notification service on a private bus.
class FakeNotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList capabilities;
    QStringList summaries; // "app: summary|body"

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& appName, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int)
    {
        summaries.append(appName + ": " + summary + "|" + body);
        return static_cast<uint>(summaries.size());
    }
};

// The bytes figure of a progress row ("3.2 GB"), in bytes; -1 when the row has none.
double bytesShown(const QString& row)
{
    static const QRegularExpression figure(QStringLiteral(" \u00B7 ([\\d.,]+) ([kMGTP]?)B \u00B7"));
    const QRegularExpressionMatch match = figure.match(row);
    if (!match.hasMatch()) {
        return -1;
    }
    const QString prefix = match.captured(2);
    const auto power = prefix.isEmpty() ? 0 : QStringLiteral("kMGTP").indexOf(prefix) + 1;
    return match.captured(1).remove(',').toDouble() * std::pow(1000.0, static_cast<double>(power));
}

QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    return QAccessible::queryAccessibleInterface(widget)->text(kind);
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { openUserSettings()->clear(); }

    // Text that is not a number is kept as typed (one unit); a font size outside 4 to 60, or not
    // a number at all, loads as 12, where Larger and Smaller step from.
    void settingsStartAtTheDefaultsAndSurviveReopening()
    {
        for (const double stored : {qQNaN(), qInf(), -qInf(), 60.5, 3.5}) {
            openUserSettings()->setValue("fontSize", stored);
            ViewController window;
            QVERIFY2(window.outputTextbox->font().pointSizeF() == 12.0,
                     qPrintable(QString::number(stored)));
            window.findChild<QAction*>("actionLarger")->trigger();
            QCOMPARE(window.outputTextbox->font().pointSizeF(), 13.0);
        }
        openUserSettings()->clear();
        {
            ViewController window;
            QCOMPARE(window.sizePopup->currentText(), QStringLiteral("KB"));
            QCOMPARE(window.bufferTextbox->text(), QStringLiteral("1"));
            QCOMPARE(window.realBufferSize, 1024);
            // The manual names the same default.
            QFile manual(qEnvironmentVariable("QUELBY_TEST_SOURCE_DIR") + "/docs/manual.html");
            QVERIFY(manual.open(QIODevice::ReadOnly));
            QVERIFY(QString::fromUtf8(manual.readAll()).simplified().contains(
                "the default of " + window.bufferTextbox->text() + ' ' +
                window.sizePopup->currentText() + ' '));
            QVERIFY(!window.verboseCheckbox->isChecked() && !window.timesCheckbox->isChecked());
            QCOMPARE(window.outputTextbox->font().pointSizeF(), 12.0);
            QCOMPARE(window.processingQueue.maxThreadCount(), 8);
            window.show();
            window.setReportText(KindedText("line one\nline two\n"));
            const int secondLineTop = window.outputTextbox->characterRect(9).top();
            for (const auto& [action, limit] :
                 {std::pair{"actionSmaller", 4.0}, {"actionLarger", 60.0}}) {
                for (int step = 0; step < 60; ++step) {
                    window.findChild<QAction*>(action)->trigger();
                }
                QCOMPARE(window.outputTextbox->font().pointSizeF(), limit);
                QCOMPARE(openUserSettings()->value("fontSize").toDouble(), limit);
            }
            // Re-rendered at once: the second line moved down with the size.
            QVERIFY(window.outputTextbox->characterRect(9).top() > secondLineTop);
            window.bufferTextbox->setText(QStringLiteral("abc"));
            window.sizePopup->setCurrentIndex(1);
            window.verboseCheckbox->setChecked(true);
            QVERIFY(window.close());
        }
        QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("abc"));
        ViewController reopened;
        QCOMPARE(reopened.bufferTextbox->text(), QStringLiteral("abc"));
        QCOMPARE(reopened.sizePopup->currentIndex(), 1);
        QVERIFY(reopened.verboseCheckbox->isChecked() && !reopened.timesCheckbox->isChecked());
        QCOMPARE(reopened.setBufferSize, 1);
        QCOMPARE(reopened.outputTextbox->font().pointSizeF(), 60.0);
    }

    // The buffer is fixed at the press, so even a cancelled chooser leaves it in force.
    void eachPressOpensTheChooserAndRecomputesTheBuffer()
    {
        constexpr qint64 gib = qint64{1} << 30;
        const struct
        {
            const char *button, *confirm, *entry;
            int unit;
            qint64 units, bytes;
        } presses[] = {{"retagButton", "Retag", "1", 0, 1, 1024},
                       {"hashButton", "Tag", "4", 1, 4, 4194304},
                       {"checkButton", "Check", "0", 0, 1, 1024},
                       {"checkButton", "Check", "5000", 1, 1024, gib},
                       {"checkButton", "Check", "9223372036854775807", 0, 1048576, gib}};
        TempTree tree;
        ViewController window;
        // No folder of the collection is selected, so every chooser starts at home.
        window.setScrubStatePath(tree.path("no state"));
        window.show();
        for (const auto& row : presses) {
            window.bufferTextbox->setText(QString::fromLatin1(row.entry));
            window.sizePopup->setCurrentIndex(row.unit);
            QFileDialog* chooser = press(window, row.button);
            QVERIFY2(chooser && chooser->isVisible(), row.entry);
            QCOMPARE(chooser->labelText(QFileDialog::Accept), QString::fromLatin1(row.confirm));
            QCOMPARE(chooser->windowTitle(), QStringLiteral("Choose a folder to protect"));
            QCOMPARE(chooser->directory().absolutePath(), QDir::homePath());
            QCOMPARE(chooser->findChild<QCheckBox*>("newOnlyCheckbox") != nullptr,
                     row.confirm == std::string_view("Tag"));
            QVERIFY(chooser->fileMode() == QFileDialog::Directory &&
                    chooser->testOption(QFileDialog::ShowDirsOnly) &&
                    chooser->testOption(QFileDialog::DontUseNativeDialog) &&
                    chooser->filter().testFlag(QDir::Hidden) &&
                    chooser->windowModality() == Qt::WindowModal);
            QCOMPARE(window.realBufferSize, row.bytes);
            QCOMPARE(window.setBufferSize, row.units);
            chooser->reject();
        }
        QTest::mouseClick(window.findChild<QPushButton*>("addFolderButton"), Qt::LeftButton);
        auto* adding = window.findChild<QFileDialog*>("addFolderChooser");
        QVERIFY(adding && adding->isVisible());
        QCOMPARE(adding->windowTitle(), QStringLiteral("Choose a folder to protect"));
        QCOMPARE(adding->directory().absolutePath(), QDir::homePath());
        adding->reject();
        QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
        QCOMPARE(window.runsUnderWay(), 0);
    }

    // Tag's chooser offers to tag new files only, which the run then does; unchosen, a Tag
    // is the Tag it always was.
    void theTagChooserOffersToTagNewFilesOnly()
    {
        TempTree tree;
        tree.file("a.txt", "alpha");
        ViewController window;
        window.show();
        // A set from a Tag of new files only would cover those alone: it is left as it was.
        window.startRunAt(Operation::tag, tree.root(),
                          {quelby::ParityRequest::Mode::percent, 10});
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        const std::string set = tree.path(".quelby.par2");
        const std::string setBefore = quelby::test::readWholeFile(set);
        tree.file("b.txt", "beta");
        for (const bool newOnly : {true, false}) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QTest::mouseClick(window.findChild<QPushButton*>("hashButton"), Qt::LeftButton);
            auto* chooser = window.findChild<QFileDialog*>("folderChooser");
            QVERIFY(chooser != nullptr);
            auto* choice = chooser->findChild<QCheckBox*>("newOnlyCheckbox");
            QVERIFY(choice && choice->isVisible() && !choice->isChecked());
            QCOMPARE(choice->accessibleName(), QStringLiteral("Tag new files only"));
            if (newOnly) {
                // On its box: the row is wider than the box and its label.
                QTest::mouseClick(choice, Qt::LeftButton, {}, QPoint(8, choice->height() / 2));
            }
            chooser->selectFile(shown(tree.root()));
            static_cast<QDialog*>(chooser)->accept();
            QCOMPARE(window.latestRunOptions().operation, Operation::tag);
            QCOMPARE(window.latestRunOptions().folder, tree.root());
            QCOMPARE(window.latestRunOptions().newOnly, newOnly);
            QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
            QCOMPARE(quelby::test::readWholeFile(set) == setBefore, newOnly);
        }
    }

    // Repair from… asks for the copy in a chooser that says so, first at home, then at the
    // copy chosen before; Show in Files with no file manager to open the folder says so.
    void aProblemsCopyIsAskedForByNameAndAFolderNothingOpensIsTold()
    {
        TempTree tree;
        const std::string photos = tree.folder("photos");
        const std::string damaged = tree.file("photos/one.jpg", "first picture");
        const std::string copy = tree.folder("copy");
        tree.file("copy/one.jpg", "first picture");
        QVERIFY(quelby::test::setModificationTime(damaged, 1577836800));
        quelby::test::tagByHand(damaged, "2024-03-09T17_05_42Z");
        quelby::test::writeWholeFile(damaged, "Xirst picture");
        QVERIFY(quelby::test::setModificationTime(damaged, 1577836800));
        ScriptedUser user;
        ViewController window;
        window.setAlertPresenter(user);
        window.setScrubStatePath(tree.path("scrub.sqlite"));
        window.show();
        window.startScrubAt(photos);
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QCOMPARE(window.problemsView->problemCount(), 1);
        auto* list = window.findChild<QTreeWidget*>("problemsList");
        list->setCurrentItem(list->topLevelItem(0));

        QStringList asked; // each chooser's title and where it started
        for (const QString& answer : {shown(copy), QString()}) {
            auto* watch = new QTimer(&window);
            connect(watch, &QTimer::timeout, &window, [&window, &asked, watch, answer] {
                auto* chooser = window.findChild<QFileDialog*>("copyChooser");
                if (chooser == nullptr || !chooser->isVisible()) {
                    return;
                }
                watch->stop();
                asked.append(chooser->windowTitle() + '|' + chooser->directory().absolutePath());
                if (answer.isEmpty()) {
                    chooser->reject();
                } else {
                    chooser->selectFile(answer);
                    static_cast<QDialog*>(chooser)->accept();
                }
            });
            watch->start(10);
            QTest::mouseClick(window.findChild<QPushButton*>("repairFromButton"), Qt::LeftButton);
            delete watch;
        }
        const QString title = QStringLiteral("Choose the copy to repair from|");
        QCOMPARE(asked, (QStringList{title + QDir::homePath(), title + shown(copy)}));

        QList<QUrl> opened;
        window.problemsView->setFileManagerBus(
            QDBusConnection::connectToBus("unix:path=/nonexistent", "no file manager"));
        for (const bool opens : {true, false}) {
            window.setFolderOpener([&opened, opens](const QUrl& folder) {
                opened.append(folder);
                return opens;
            });
            QTest::mouseClick(window.findChild<QPushButton*>("showInFilesButton"), Qt::LeftButton);
            QCOMPARE(user.alerts.size(), opens ? 0 : 1);
        }
        QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(shown(photos)),
                                      QUrl::fromLocalFile(shown(photos))}));
        QCOMPARE(user.alerts.front().message, "No file manager could open " + shown(photos));
        QDBusConnection::disconnectFromBus("no file manager");
    }

    void aCheckShowsTheEnginesReportTitleAndIndicator()
    {
        TempTree tree;
        quelby::test::tagByHand(tree.file("a.txt", "alpha"), "2024-03-09T17_05_42Z");
        tree.file("caf\xE9.txt", "delta");
        ViewController window;
        window.show();
        window.verboseCheckbox->setChecked(true);
        window.bufferTextbox->setText(QStringLiteral("8"));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(press(window, "checkButton", tree.root()));

        QVERIFY(window.runsUnderWay() == 1 && window.progressSpinner->isVisible() &&
                window.progressSpinner->isAnimating());
        QCOMPARE(window.outputTextbox->plainText(), QString());
        QCOMPARE(window.windowTitle(), QFileInfo(shown(tree.root())).fileName());
        QVERIFY(window.runDate && *window.runDate >= before);

        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QVERIFY(!window.progressSpinner->isVisible() && !window.progressSpinner->isAnimating());
        quelby::RunOptions options = quelby::test::optionsFor(Operation::check, tree.root(), true);
        options.setBufferSize = 8;
        options.realBufferSize = 8192;
        const QString report = QString::fromStdString(
            quelby::withInvalidUtf8Escaped(quelby::test::runReport(options)));
        QCOMPARE(window.outputTextbox->plainText(), report);
        QVERIFY(report.contains(shown(tree.root()) + QStringLiteral("/caf\\xe9.txt")));
    }

    // Quitting mid-Tag or mid-Retag asks first: Cancel keeps the window and the walk, Quit stops
    // it with every attribute whole. A Check just stops.
    void closingDuringAWalkAsksForATagAndStopsItWithEveryAttributeWhole()
    {
        constexpr int kFiles = 300;
        TempTree tree;
        std::vector<std::string> files;
        for (int index = 0; index < kFiles; ++index) {
            const std::string name = "f" + std::to_string(10000 + index);
            files.push_back(
                tree.file(name, std::string(16384, static_cast<char>('a' + index % 26)) + name));
        }
        // Second in name order, and read a byte at a time: no walk gets past it before it is
        // stopped, and a reader there tells the test that the walk is under way.
        const std::string gate = tree.file("f10000-gate", "");
        QVERIFY(::truncate(gate.c_str(), off_t{8} << 30) == 0);
        std::atomic<bool> atTheGate = false;
        quelby::test::ScriptedSystemCalls calls;
        calls.onRead = [&](int fd, void* buffer, std::size_t size) {
            if (quelby::test::openedPath(fd) == gate) {
                atTheGate = true;
                size = std::min<std::size_t>(size, 1);
            }
            return calls.realRead(fd, buffer, size);
        };
        const auto digestOf = [](const std::string& path) {
            return quelby::test::storedAttribute(path, quelby::kDigestAttributeName);
        };
        const QString question =
            QStringLiteral("Runs are under way. Stop them and quit?|Cancel,Quit");
        // button, whether quitting asks, whether to wait until the walk has tagged a file
        const std::tuple<const char*, bool, bool> rows[] = {
            {"hashButton", true, true},
            {"retagButton", true, false},
            {"checkButton", false, false}};
        for (const auto& [button, asks, waits] : rows) {
            ScriptedUser user;
            ViewController window;
            window.setAlertPresenter(user);
            window.show();
            atTheGate = false;
            QVERIFY(press(window, button, tree.root()));
            QVERIFY(QTest::qWaitFor([&] { return atTheGate.load(); }, 60000));
            // The first file in name order has its digest once the Tag is under way.
            QVERIFY(!waits || QTest::qWaitFor([&] { return digestOf(files.front()).has_value(); },
                                              60000));
            QVERIFY2(window.runsUnderWay() == 1, button);
            if (asks) {
                window.findChild<QAction*>(QStringLiteral("actionQuit"))->trigger();
                QCOMPARE(user.asked, QStringList{question});
                QVERIFY(window.isVisible() && window.runsUnderWay() == 1);
                user.answer = 1;
            }
            QVERIFY(window.close());
            QCOMPARE(user.asked.size(), asks ? 2 : 0);
            QCOMPARE(window.processingQueue.activeThreadCount(), 0);
        }

        for (const std::string& path : files) {
            if (const auto stored = digestOf(path)) {
                QVERIFY2(quelby::digestOfBytes(quelby::test::readWholeFile(path)).matches(*stored),
                         path.c_str());
            }
        }
        QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("1"));
    }

    // Asked without pause, as a walk asks between reads, the throttle says yes
    // at most once per tenth of a second, and does say yes: otherwise a run
    // floods the main thread with figures, or shows none.
    void progressThrottleLetsFiguresThroughAtMostTenTimesASecond()
    {
        constexpr qint64 kSpan = 600;    // milliseconds asked
        constexpr qint64 kLeastGap = 90; // a tenth of a second, less the coarse clock's tick
        QElapsedTimer clock;
        clock.start();
        ProgressThrottle throttle;
        std::vector<qint64> yeses{0};
        while (clock.elapsed() < kSpan) {
            if (throttle.due()) {
                yeses.push_back(clock.elapsed());
            }
        }
        QVERIFY2(yeses.size() >= 3 && yeses.size() <= 7, qPrintable(QString::number(yeses.size())));
        for (std::size_t index = 1; index < yeses.size(); ++index) {
            QVERIFY2(yeses[index] - yeses[index - 1] >= kLeastGap,
                     qPrintable(QString::number(yeses[index] - yeses[index - 1])));
        }
    }

    // Runs over a file of 20 GiB of holes, read a kilobyte at a time, last in name order: the
    // progress line follows them, and each way to stop ends every run within a second with
    // the lines of the files it finished, its Stopped line, no summary and no torn attribute.
    void stopEndsEveryRunWithItsFinishedLinesAndItsStoppedLine()
    {
        constexpr std::uintmax_t kHuge = std::uintmax_t{20} << 30;
        const auto makeFolder = [](TempTree& tree) {
            const std::vector<std::string> small{tree.file("a1.txt", "one"),
                                                 tree.file("a2.txt", "two")};
            std::filesystem::resize_file(tree.file("zz-huge.bin"), kHuge);
            return small;
        };
        const auto progressRows = [](ViewController& window) {
            return accessibleText(window.progressLine, QAccessible::Description)
                .split('\n', Qt::SkipEmptyParts);
        };
        // how the user stops, how many Tags run at once
        const std::pair<const char*, int> rows[] = {
            {"stopButton", 5}, {"Escape", 1}, {"actionStop", 1}};
        for (const auto& [how, runCount] : rows) {
            std::vector<std::unique_ptr<TempTree>> trees;
            std::vector<std::vector<std::string>> smallFiles;
            ViewController window;
            window.show();
            window.verboseCheckbox->setChecked(true);
            auto* stop = window.findChild<QPushButton*>("stopButton");
            QVERIFY(stop && !stop->isEnabled() && !window.progressLine->isVisible());
            for (int run = 0; run < runCount; ++run) {
                trees.push_back(std::make_unique<TempTree>());
                smallFiles.push_back(makeFolder(*trees.back()));
                QVERIFY(press(window, "hashButton", trees.back()->root()));
            }
            QVERIFY2(stop->isEnabled() && window.progressLine->isVisible(), how);
            QVERIFY(accessibleText(window.progressLine, QAccessible::Name).startsWith("Progress"));
            QVERIFY(
                !accessibleText(window.progressSpinner, QAccessible::Name).startsWith("Progress"));
            // Newest first, three at most, then how many more.
            QCOMPARE(progressRows(window).size(), std::min(runCount, 4));
            const QString newest = QFileInfo(shown(trees.back()->root())).fileName();
            QVERIFY(progressRows(window).first().startsWith("Tagging " + newest + " \u2014 "));
            if (runCount > 3) {
                QCOMPARE(progressRows(window).last(),
                         QStringLiteral("and %1 more runs").arg(runCount - 3));
            }
            QTRY_VERIFY_WITH_TIMEOUT(
                progressRows(window).first().endsWith(QStringLiteral(" \u00B7 zz-huge.bin")),
                10000);
            static const QRegularExpression row(QStringLiteral(
                "^Tagging \\S+ \u2014 2 files \u00B7 [\\d.,]+ [kMG]?B \u00B7 [\\d.,]+ [kMG]?B/s "
                "\u00B7 0:\\d\\d \u00B7 zz-huge\\.bin$"));
            QVERIFY2(row.match(progressRows(window).first()).hasMatch(),
                     qPrintable(progressRows(window).first()));
            const double before = bytesShown(progressRows(window).first());
            QTRY_VERIFY_WITH_TIMEOUT(bytesShown(progressRows(window).first()) > before, 5000);
            QCOMPARE(window.progressLine->text().split('\n').size(), std::min(runCount, 4));

            if (std::string_view(how) == "Escape") {
                // Keys reach the active window, whose focus is in the report.
                QApplication::setActiveWindow(&window);
                QTRY_VERIFY(window.isActiveWindow());
                window.outputTextbox->setFocus();
                QTest::keyClick(window.outputTextbox, Qt::Key_Escape);
            } else if (std::string_view(how) == "actionStop") {
                window.findChild<QAction*>(how)->trigger();
            } else {
                QTest::mouseClick(stop, Qt::LeftButton);
            }
            QTRY_VERIFY_WITH_TIMEOUT(window.runsUnderWay() == 0, 1000);
            QVERIFY(!stop->isEnabled() && !window.progressLine->isVisible());

            const std::string report = window.outputTextbox->utf8Text();
            for (int run = 0; run < runCount; ++run) {
                std::string expected;
                for (const std::string& path : smallFiles[static_cast<std::size_t>(run)]) {
                    const quelby::Digest digest =
                        quelby::digestOfBytes(quelby::test::readWholeFile(path));
                    expected += quelby::report::digestLine(quelby::digestHashNumber(digest), path);
                    QVERIFY(digest.matches(
                        *quelby::test::storedAttribute(path, quelby::kDigestAttributeName)));
                }
                expected += "Stopped after 2 files in " +
                            trees[static_cast<std::size_t>(run)]->root() + ".\n";
                QVERIFY2(report.find(expected) != std::string::npos, report.c_str());
                QVERIFY(!quelby::test::storedAttribute(
                    trees[static_cast<std::size_t>(run)]->path("zz-huge.bin"),
                    quelby::kDigestAttributeName));
            }
            QVERIFY2(report.find("Tagged a total") == std::string::npos, how);
        }
    }

    // Light and dark palettes: red, amber and green stay apart and read at 4.5:1 on the base,
    // and the view draws each line in the colour of the result it reports, in whatever
    // language and with whatever symbol the line is written.
    void eachKindOfLineIsDrawnInALegibleColour()
    {
        using quelby::FileResult;
        const std::pair<const char*, QPalette> palettes[] = {
            {"light", QApplication::style()->standardPalette()}, {"dark", darkPalette()}};
        // the kind shown, the result a Check reports, the line
        const std::tuple<LineKind, FileResult, std::string> lines[] = {
            {LineKind::failure, FileResult::differs, "\xE2\x9D\x8C Digests for /f aren't equal."},
            {LineKind::warning, FileResult::noDigest,
             "\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /g"},
            {LineKind::success, FileResult::matched, "\xE2\x9C\x85 Digests for /h"},
            {LineKind::other, FileResult::none, "Checked a total of 3 files in /"},
            {LineKind::failure, FileResult::differs, "\xE2\x9C\x97 Les empreintes de /i diff\xC3\xA8rent."},
            {LineKind::failure, FileResult::readFailed, "\xE2\x9C\x85 /j: illisible"},
            {LineKind::warning, FileResult::noDigest, "! Aucune empreinte pour /k"},
            {LineKind::success, FileResult::matched, "\xE2\x9D\x8C Empreintes de /l"}};
        for (const auto& [name, palette] : palettes) {
            const LineColours colours = lineColours(palette);
            const QColor base = palette.color(QPalette::Base);
            for (const auto& [kind, result, text] : lines) {
                const QColor colour = colours[static_cast<std::size_t>(kind)];
                QVERIFY2(contrastRatio(colour, base) >= 4.5,
                         qPrintable(QString("%1 %2").arg(name).arg(colour.name())));
            }

            ReportView view;
            view.setPalette(palette);
            view.resize(600, 200);
            KindedText report;
            for (const auto& [kind, result, text] : lines) {
                report.add(text + '\n', entryLineKind(quelby::Operation::check, result));
            }
            view.setText(report);
            view.show();
            const QImage drawn = view.viewport()->grab().toImage();
            for (qsizetype line = 0; line < std::ssize(lines); ++line) {
                const QColor expected =
                    colours[static_cast<std::size_t>(std::get<LineKind>(lines[line]))];
                const QRect band = view.characterRect(view.lineStart(line));
                bool found = false;
                for (int y = band.top(); y <= band.bottom() && !found; ++y) {
                    for (int x = 0; x < drawn.width() && !found; ++x) {
                        found = drawn.pixel(x, y) == expected.rgb();
                    }
                }
                QVERIFY2(found, qPrintable(QString("%1 line %2").arg(name).arg(line)));
            }
            // Colour is drawn, never written: the text read and copied keeps its symbols.
            QCOMPARE(view.utf8Text(), report.text());
            // With only problems shown, each line goes or stays by its result too.
            std::string problems;
            for (const auto& [kind, result, text] : lines) {
                if (isProblemOrSummary(kind)) {
                    problems += text + '\n';
                }
            }
            view.setProblemsOnly(true);
            QCOMPARE(view.utf8Text(), problems);
        }
    }

    // Every kind of line a report can hold, with the result it reports; only the lines that
    // need no attention go.
    void showingOnlyProblemsHidesTheFineLinesEverywhereTheTextIsRead()
    {
        using quelby::FileResult;
        using quelby::Operation;
        struct Line
        {
            std::string text;
            Operation operation = Operation::check;
            FileResult result = FileResult::none;
        };
        const Line kept[] = {
            {"\xE2\x9D\x8C Digests for /p/b aren't equal.\n", Operation::check, FileResult::differs},
            {"\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /p/c\n", Operation::check,
             FileResult::noDigest},
            {"\xE2\x9D\x8C Couldn't tag /p/d: Operation not supported\n", Operation::retag,
             FileResult::tagFailed},
            {"\xE2\x9A\xA0\xEF\xB8\x8F Retagged /p/e\n", Operation::retag, FileResult::retagged},
            {"Checked a total of 5 files in /p\n\t1 matched digest correctly\n\t1 didn't match "
             "their "
             "digest\n\t1 had no digest.\nBuffer size 1 giving actual buffer 1024\n"},
            {"Of the files that differ: 1 edited, 0 possibly damaged, 0 unknown.\n"},
            {"Tagged a total of 2 files in /q with 0 errors.\n"},
            {"Stopped after 7 files in /r.\n"}};
        const Line hidden[] = {
            {"\xE2\x9C\x85 Digests for /p/a\n", Operation::check, FileResult::matched},
            {"Digest 123 for /q/a\n", Operation::tag, FileResult::tagged},
            {"Digest 9 for /q/b\n", Operation::tag, FileResult::tagFailed},
            {"\xE2\x9C\x85 Healed /p/f from parity\n", Operation::check, FileResult::healed}};
        KindedText whole;
        std::string problems;
        for (std::size_t index = 0; index < std::size(kept); ++index) {
            for (const Line& line : {hidden[index % std::size(hidden)], kept[index]}) {
                whole.add(line.text, entryLineKind(line.operation, line.result));
            }
            problems += kept[index].text;
        }
        TempTree tree;
        const std::string exported = tree.path("export.text");
        {
            ViewController window;
            window.show();
            window.setReportText(whole);
            auto* action = window.findChild<QAction*>("actionShowProblemsOnly");
            QVERIFY(action && action->isCheckable() && !action->isChecked());
            auto* viewMenu = window.menuBar()->findChildren<QMenu*>().at(2);
            QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(viewMenu);
            QStringList names;
            for (int child = 0; child < menu->childCount(); ++child) {
                names.append(menu->child(child)->text(QAccessible::Name));
            }
            QVERIFY2(names.contains("Show Problems Only"), qPrintable(names.join('|')));

            action->trigger();
            QCOMPARE(window.outputTextbox->utf8Text(), problems);
            QAccessibleTextInterface* text =
                QAccessible::queryAccessibleInterface(window.outputTextbox)->textInterface();
            QCOMPARE(text->text(0, text->characterCount()), QString::fromStdString(problems));
            window.outputTextbox->setFocus();
            QTest::keyClick(window.outputTextbox, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(window.outputTextbox, Qt::Key_C, Qt::ControlModifier);
            QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(problems));
            QCOMPARE(exportedText(window.outputTextbox->utf8Text(), std::nullopt,
                                  window.outputTextbox->problemsOnly()),
                     QByteArray::fromStdString(problems) +
                         "\nOnly problems are shown in this export.\n");

            // Lines that arrive in pieces are sorted once whole, by the kind they started with.
            for (const auto& [piece, kind] :
                 {std::pair{"\xE2\x9C\x85 Dig", LineKind::success},
                  {"ests for /s\n\xE2\x9D\x8C Dig", LineKind::failure},
                  {"ests for /t aren't equal.\nDigest 4", LineKind::digest},
                  {"2 for /u\n", LineKind::failure}}) {
                window.appendReportText(KindedText(piece, kind));
            }
            QCOMPARE(window.outputTextbox->utf8Text(),
                     problems + "\xE2\x9D\x8C Digests for /t aren't equal.\n");
            action->trigger();
            QCOMPARE(window.outputTextbox->utf8Text(),
                     whole.text() + "\xE2\x9C\x85 Digests for /s\n\xE2\x9D\x8C Digests for /t aren't "
                             "equal.\nDigest 42 for /u\n");
            action->trigger();
            QVERIFY(window.close());
        }
        QCOMPARE(openUserSettings()->value("showProblemsOnly").toBool(), true);
        ViewController reopened;
        QVERIFY(reopened.findChild<QAction*>("actionShowProblemsOnly")->isChecked());
        reopened.setReportText(whole);
        QCOMPARE(reopened.outputTextbox->utf8Text(), problems);
    }

    // Folders dropped from a file manager, and folders named when the program starts.
    void droppedFoldersAndFolderArgumentsStartRuns()
    {
        TempTree first;
        first.file("a.txt", "alpha");
        TempTree second;
        second.file("b.txt", "beta");
        const std::string file = first.path("a.txt");
        // what is dropped, whether the menu opens
        const std::pair<QList<QUrl>, bool> drops[] = {
            {{QUrl::fromLocalFile(shown(file))}, false},
            {{QUrl(QStringLiteral("https://example.invalid/folder/"))}, false},
            {{QUrl::fromLocalFile(shown(first.root())), QUrl::fromLocalFile(shown(file))}, true}};
        for (const auto& [urls, opens] : drops) {
            ViewController window;
            window.show();
            QMimeData data;
            data.setUrls(urls);
            const QPoint at(200, 150);
            QDragEnterEvent enter(at, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(&window, &enter);
            QCOMPARE(enter.isAccepted(), opens);
            QDropEvent drop(at, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(&window, &drop);
            auto* menu = window.findChild<QMenu*>("dropMenu");
            QCOMPARE(menu != nullptr, opens);
            if (!menu) {
                continue;
            }
            QVERIFY(menu->isVisible());
            QVERIFY((menu->geometry().topLeft() - window.mapToGlobal(at)).manhattanLength() < 2);
            QStringList texts;
            for (QAction* action : menu->actions()) {
                texts.append(action->text().remove('&'));
            }
            QCOMPARE(texts, (QStringList{"Check", "Tag", "Retag"}));
            // Started as the chooser starts it: with the buffer size as entered at the choice.
            window.verboseCheckbox->setChecked(true);
            window.bufferTextbox->setText(QStringLiteral("4"));
            menu->findChild<QAction*>("dropRetag")->trigger();
            QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
            const QString report = window.outputTextbox->plainText();
            QVERIFY2(report.contains("Retagged a total of 1 files in " + shown(first.root())) &&
                         report.endsWith("Buffer size 4 giving actual buffer 4096"),
                     qPrintable(report));
        }

        // As main() passes them on: two runs at once, the spinner turning until both are done.
        ViewController window;
        window.show();
        window.startRuns(Operation::check, {shown(first.root()), shown(second.root())});
        QCOMPARE(window.runsUnderWay(), 2);
        for (int tick = 0; window.runsUnderWay() > 0 && tick < 4000; ++tick) {
            QVERIFY2(window.progressSpinner->isVisible(), "idle while a run went on");
            QTest::qWait(5);
        }
        QVERIFY(window.runsUnderWay() == 0 && !window.progressSpinner->isVisible());
        for (const TempTree* tree : {&first, &second}) {
            QVERIFY(window.outputTextbox->plainText().contains("Checked a total of 1 files in " +
                                                               shown(tree->root())));
        }
    }

    // Told only of a run that took long and ended while the user was elsewhere.
    void aLongRunThatEndsUnwatchedIsToldToTheDesktop()
    {
        TempTree tree;
        quelby::test::tagByHand(tree.file("a.txt", "alpha"), "2024-03-09T17_05_42Z");
        quelby::test::writeWholeFile(tree.path("a.txt"), "changed");
        tree.file("b.txt", "beta");
        const QString said = "Check of " + QFileInfo(shown(tree.root())).fileName() +
                             ": 1 file differs, 1 had no digest";
        QWidget elsewhere;
        // threshold in milliseconds, whether the window is the active one, whether it is told
        const std::tuple<int, bool, bool> rows[] = {
            {0, false, true}, {0, true, false}, {10000, false, false}};
        for (const auto& [threshold, active, told] : rows) {
            RecordingNotifier notifier;
            ViewController window;
            window.setFinishNotifier(notifier);
            window.longRun = std::chrono::milliseconds(threshold);
            window.show();
            elsewhere.show();
            QWidget* front = active ? static_cast<QWidget*>(&window) : &elsewhere;
            QApplication::setActiveWindow(front);
            QTRY_VERIFY(window.isActiveWindow() == active);
            // Started without the chooser, which would take the focus for a moment.
            window.startRuns(Operation::check, {shown(tree.root())});
            QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
            QCOMPARE(notifier.told, told ? QStringList{said} : QStringList{});
        }
    }

    // "quelby FOLDER" hands the window the bytes of its argument: a name that is not UTF-8
    // is checked, not the folder its lossy decoding names, and the desktop is told the name
    // escaped as the report writes it.
    void aFolderNamedInBytesIsCheckedAndToldEscaped()
    {
        TempTree tree;
        const std::string tail = "\n\xe2\x80\xae<i>";
        const std::string raw = tree.folder("caf\xe9" + tail);
        tree.file("caf\xe9" + tail + "/a", "a");
        tree.file("caf\xe9" + tail + "/b", "b");
        tree.file("caf\xef\xbf\xbd" + tail + "/lookalike", "c");
        RecordingNotifier notifier;
        ViewController window;
        window.setFinishNotifier(notifier);
        window.longRun = std::chrono::milliseconds(0);
        window.show();
        QWidget elsewhere;
        elsewhere.show();
        QApplication::setActiveWindow(&elsewhere);
        QTRY_VERIFY(!window.isActiveWindow());
        window.startRuns(Operation::check, std::vector<std::string>{raw});
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        QCOMPARE(notifier.told,
                 QStringList{"Check of caf\\xe9\\x0a\\xe2\\x80\\xae<i>: 2 had no digest"});
    }

    // Where a file system keeps no attributes the window keeps a manifest, as the command line
    // does, and says so before the summary.
    void aFolderWithoutAttributesKeepsItsDigestsInAManifest()
    {
        TempTree tree;
        const std::string folder = tree.folder("card");
        const quelby::test::RamfsMount ramfs(folder);
        if (!ramfs.unavailable().empty()) {
            QSKIP(ramfs.unavailable().c_str());
        }
        tree.file("card/a.jpg", "a");
        ViewController window;
        window.show();
        for (const Operation operation : {Operation::tag, Operation::check}) {
            window.startRuns(operation, std::vector<std::string>{folder});
            QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        }
        const QByteArray manifest =
            QByteArray::fromStdString(quelby::test::readWholeFile(folder + "/.quelby.sha256"));
        QVERIFY2(manifest.contains("  a.jpg\n"), manifest.constData());
        const QByteArray shown = QByteArray::fromStdString(window.outputTextbox->utf8Text());
        QVERIFY2(shown.contains("Digests are kept in " + QByteArray::fromStdString(folder) +
                                "/.quelby.sha256\nChecked a total of 1 files"),
                 shown.constData());
        QVERIFY2(shown.contains("1 matched digest correctly"), shown.constData());
    }

    // The real call, to a stand-in service on a private bus; with no service, or no bus, nothing
    // happens and nothing fails.
    void theDesktopNotificationReachesTheServiceWhenThereIsOne()
    {
        PrivateBus bus;
        QVERIFY2(!bus.address().empty(), "no private dbus-daemon");
        const QString address = QString::fromStdString(bus.address());
        {
            QDBusConnection app = QDBusConnection::connectToBus(address, "app");
            QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
            QVERIFY(app.isConnected() && desktop.isConnected());
            DesktopNotifier(app).notify("before the service");
            // A round trip on the same connection: the bus has routed the call above by now.
            QVERIFY(app.interface()->isServiceRegistered("org.freedesktop.Notifications").isValid());
            FakeNotificationService service;
            QVERIFY(desktop.registerObject("/org/freedesktop/Notifications", &service,
                                           QDBusConnection::ExportAllSlots));
            QVERIFY(desktop.registerService("org.freedesktop.Notifications"));
            // A body only where the service shows one; markup escaped only where it reads markup.
            const QString said = "Check of <b>R&D</b>: all 3 files matched";
            const std::pair<QStringList, QString> rows[] = {
                {{}, "Quelby: " + said + "|"},
                {{"body"}, "Quelby: Quelby|" + said},
                {{"body", "body-markup"},
                 "Quelby: Quelby|Check of &lt;b&gt;R&amp;D&lt;/b&gt;: all 3 files matched"},
            };
            for (const auto& [capabilities, shownThere] : rows) {
                service.capabilities = capabilities;
                service.summaries.clear();
                DesktopNotifier(app).notify(said);
                QTRY_COMPARE(service.summaries, QStringList{shownThere});
            }
            DesktopNotifier(QDBusConnection::connectToBus("unix:path=/nonexistent", "none"))
                .notify("no bus");
        }
        QDBusConnection::disconnectFromBus("app");
        QDBusConnection::disconnectFromBus("desktop");
        QDBusConnection::disconnectFromBus("none");
    }

    // A cancelled export stays silent; a failed one says why.
    void exportWritesTheReportWithItsFooterOrSaysWhyNot()
    {
        TempTree tree;
        const std::string existing = tree.file("existing.txt", std::string(5000, 'z'));
        ViewController window;
        ScriptedUser user;
        window.setAlertPresenter(user);
        window.show();
        window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
        window.findChild<QFileDialog*>(QStringLiteral("exportDialog"))->reject();

        // Returns the proposed name; what a walk adds while the dialog is open is not exported.
        const auto exportTo = [&window](const std::string& target) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            window.setReportText(KindedText("line one\n\xE2\x9C\x85 caf\xE9"));
            window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
            auto* saveDialog = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
            const QString name = QFileInfo(saveDialog->selectedFiles().value(0)).fileName();
            window.appendReportText(KindedText("\nlate line"));
            emit saveDialog->fileSelected(shown(target));
            delete saveDialog;
            return name;
        };
        const QByteArray shownText("line one\n\xE2\x9C\x85 caf\\xe9");
        QCOMPARE(exportTo(existing), QStringLiteral("Quelby_undated.text"));
        QCOMPARE(QByteArray::fromStdString(quelby::test::readWholeFile(existing)), shownText);
        window.runDate = QDateTime(QDate(2024, 3, 5), QTime(16, 7, 9), Qt::OffsetFromUTC, 7200);
        QCOMPARE(exportTo(existing), QStringLiteral("Quelby_2024-03-05T14_07_09Z.text"));
        QCOMPARE(QByteArray::fromStdString(quelby::test::readWholeFile(existing)),
                 shownText + "\nChecked by Quelby at 2024-03-05 14:07:09 +0000\n");
        QVERIFY(user.alerts.isEmpty());

        exportTo(tree.path("no such folder/report.text"));
        QCOMPARE(user.alerts.size(), 1);
        const Alert& alert = user.alerts.front();
        QVERIFY(alert.style == Alert::Style::critical);
        QCOMPARE(alert.message, QStringLiteral("An error occurred:"));
        QVERIFY(!alert.informative.isEmpty());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
