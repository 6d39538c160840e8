// The main window driven offscreen through its real controls, on real temporary folders.

#include "engine/display_text.h"
#include "engine/file_digest.h"
#include "engine/run_fixture.h"
#include "engine/tag_store.h"
#include "support/temp_tree.h"
#include "window/busy_indicator.h"
#include "window/report_view.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

using quelby::Operation;
using quelby::test::TempTree;

namespace {

const auto shown = [](const std::string& path) { return QFile::decodeName(path.c_str()); };

// Answers every question with the button given; records what it was asked.
struct ScriptedUser : AlertPresenter
{
    int answer = 0;
    QStringList asked;
    int run(const Alert& alert) override
    {
        asked.append(alert.message + '|' + alert.buttons.join(','));
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
            window.setReportText("line one\nline two\n");
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
        ViewController window;
        window.show();
        for (const auto& row : presses) {
            window.bufferTextbox->setText(QString::fromLatin1(row.entry));
            window.sizePopup->setCurrentIndex(row.unit);
            QFileDialog* chooser = press(window, row.button);
            QVERIFY2(chooser && chooser->isVisible(), row.entry);
            QCOMPARE(chooser->labelText(QFileDialog::Accept), QString::fromLatin1(row.confirm));
            QVERIFY(chooser->fileMode() == QFileDialog::Directory &&
                    chooser->testOption(QFileDialog::ShowDirsOnly) &&
                    chooser->testOption(QFileDialog::DontUseNativeDialog) &&
                    chooser->filter().testFlag(QDir::Hidden) &&
                    chooser->windowModality() == Qt::WindowModal);
            QCOMPARE(window.realBufferSize, row.bytes);
            QCOMPARE(window.setBufferSize, row.units);
            chooser->reject();
        }
        QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
        QCOMPARE(window.runsUnderWay(), 0);
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
        QAccessibleTextInterface* text =
            QAccessible::queryAccessibleInterface(window.outputTextbox)->textInterface();
        QCOMPARE(text->text(0, text->characterCount()), report);
        window.outputTextbox->setFocus();
        QTest::keyClick(window.outputTextbox, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window.outputTextbox, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), report);
    }

    void overlappingRunsKeepTheIndicatorAndTheirOwnBuffer()
    {
        TempTree larger;
        for (int file = 0; file < 300; ++file) {
            larger.file("f" + std::to_string(file), std::string(20000, 'x'));
        }
        TempTree smaller;
        smaller.file("only", "1");
        ViewController window;
        window.show();
        window.verboseCheckbox->setChecked(true);
        window.bufferTextbox->setText(QStringLiteral("4"));
        QVERIFY(press(window, "checkButton", larger.root()));
        window.bufferTextbox->setText(QStringLiteral("8"));
        window.sizePopup->setCurrentIndex(1);
        QVERIFY(press(window, "checkButton", smaller.root()));
        for (int tick = 0; window.runsUnderWay() > 0 && tick < 4000; ++tick) {
            QVERIFY2(window.progressSpinner->isVisible(), "idle while a run went on");
            QTest::qWait(5);
        }
        QVERIFY(window.runsUnderWay() == 0 && !window.progressSpinner->isVisible());
        const QString report = window.outputTextbox->plainText();
        QVERIFY(report.contains("Checked a total of 300 files in " + shown(larger.root())));
        QVERIFY(report.contains(QStringLiteral("Buffer size 4 giving actual buffer 4096")));
        QVERIFY(report.contains("Checked a total of 1 files in " + shown(smaller.root())));
        QVERIFY(report.contains(QStringLiteral("Buffer size 8 giving actual buffer 8388608")));
    }

    // Quitting mid-Tag or mid-Retag asks first: Cancel keeps the window and the walk, Quit stops
    // it with every attribute whole. A Check just stops.
    void closingDuringAWalkAsksForATagAndStopsItWithEveryAttributeWhole()
    {
        constexpr int kFiles = 3000;
        TempTree tree;
        std::vector<std::string> files;
        for (int index = 0; index < kFiles; ++index) {
            const std::string name = "f" + std::to_string(10000 + index);
            files.push_back(
                tree.file(name, std::string(16384, static_cast<char>('a' + index % 26)) + name));
        }
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
            QVERIFY(press(window, button, tree.root()));
            // The first file in name order has its digest once the Tag is under way.
            QVERIFY(!waits || QTest::qWaitFor([&] { return digestOf(files.front()).has_value(); },
                                              60000));
            QVERIFY2(window.runsUnderWay() == 1, button);
            if (asks) {
                window.findChild<QAction*>(QStringLiteral("actionQuit"))->trigger();
                QCOMPARE(user.asked, QStringList{question});
                QVERIFY(window.isVisible() && window.runsUnderWay() == 1);
                QCOMPARE(window.processingQueue.activeThreadCount(), 1);
                user.answer = 1;
            }
            QVERIFY(window.close());
            QCOMPARE(user.asked.size(), asks ? 2 : 0);
            QCOMPARE(window.processingQueue.activeThreadCount(), 0);
            const auto taggedCount = std::ranges::count_if(files, [&](const std::string& path) {
                return digestOf(path).has_value();
            });
            QVERIFY2(taggedCount < kFiles, "closing let the walk run to its end");
        }

        for (const std::string& path : files) {
            if (const auto stored = digestOf(path)) {
                QVERIFY2(quelby::digestOfBytes(quelby::test::readWholeFile(path)).matches(*stored),
                         path.c_str());
            }
        }
        QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("1"));
    }

    // A cancelled export stays silent; a failed one says why.
    void exportWritesTheReportWithItsFooterOrSaysWhyNot()
    {
        TempTree tree;
        const std::string existing = tree.file("existing.txt", std::string(5000, 'z'));
        ViewController window;
        window.show();
        window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
        window.findChild<QFileDialog*>(QStringLiteral("exportDialog"))->reject();

        // Returns the proposed name; what a walk adds while the dialog is open is not exported.
        const auto exportTo = [&window](const std::string& target) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            window.setReportText("line one\n\xE2\x9C\x85 caf\xE9");
            window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
            auto* saveDialog = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
            const QString name = QFileInfo(saveDialog->selectedFiles().value(0)).fileName();
            window.appendReportText("\nlate line");
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
        QVERIFY(!window.findChild<QMessageBox*>());

        exportTo(tree.path("no such folder/report.text"));
        auto* alert = window.findChild<QMessageBox*>(QStringLiteral("exportErrorAlert"));
        QVERIFY(alert && alert->isVisible() && alert->icon() == QMessageBox::Critical);
        QCOMPARE(alert->text(), QStringLiteral("An error occurred:"));
        QVERIFY(!alert->informativeText().isEmpty());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
