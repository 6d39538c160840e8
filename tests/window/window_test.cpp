// The main window driven offscreen through its real controls: settings in an
// isolated store, runs on real temporary folders, the chooser, the report's
// font and export, and closing while a walk is under way; and the report view
// as a user and a screen reader would drive it: keys, mouse, clipboard and Qt's
// accessibility text interface.

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
#include <QAccessibleTextInterface>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

using quelby::Operation;
using quelby::test::TempTree;

namespace {

const std::string kReport =
    "first line\n"
    "\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /a/b @ 2024-03-09T17_05_42Z\n"
    "\xE2\x9D\x8C Couldn't read /a/caf\xC3\xA9: Permission denied\n"
    "Checked a total of 3 files in /a";

void sendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QString shown(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QFileDialog* pressForChooser(ViewController& window, const QString& buttonName)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(window.findChild<QPushButton*>(buttonName), Qt::LeftButton);
    const auto choosers = window.findChildren<QFileDialog*>(QStringLiteral("folderChooser"));
    return choosers.isEmpty() ? nullptr : choosers.last();
}

bool chooseFolder(ViewController& window, const std::string& folder)
{
    QFileDialog* chooser = pressForChooser(window, QStringLiteral("checkButton"));
    if (chooser) {
        chooser->selectFile(shown(folder));
        static_cast<QDialog*>(chooser)->accept();
    }
    return chooser != nullptr;
}

// Records what the report held each time the indicator was hidden.
struct HideWatcher : QObject
{
    const ReportView* report;
    QStringList atHide;
    explicit HideWatcher(const ReportView* shownReport) : report(shownReport) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide) {
            atHide.append(report->plainText());
        }
        return false;
    }
};

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { openUserSettings()->clear(); }

    void firstLaunchShowsTheDefaults();
    void settingsSurviveClosingAndReopening_data();
    void settingsSurviveClosingAndReopening();
    void theFontSizeLoadsAndChangesWithinFourAndSixty_data();
    void theFontSizeLoadsAndChangesWithinFourAndSixty();
    void eachPressOpensTheChooserAndRecomputesTheBuffer_data();
    void eachPressOpensTheChooserAndRecomputesTheBuffer();
    void aCheckShowsTheEnginesReportTitleAndIndicator();
    void overlappingRunsKeepTheIndicatorAndTheirOwnBuffer();
    void aFailedTagWriteReachesTheReportAsANotice();
    void closingDuringAWalkStopsItWithEveryAttributeWhole();
    void exportWritesTheReportWithItsFooterOrSaysWhyNot();
    void keysSelectAndCopyLines();
    void draggingTheMouseSelectsText();
    void aManyLineAppendKeepsEveryLine();
    void aFontSizeChangeRerendersTheWholeReport();
    void screenReadersReadTextLinesCaretAndSelection();
};

void WindowTest::firstLaunchShowsTheDefaults()
{
    ViewController window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
    QCOMPARE(window.sizePopup->count(), 2);
    QCOMPARE(window.sizePopup->currentText(), QStringLiteral("KB"));
    QCOMPARE(window.sizePopup->itemText(1), QStringLiteral("MB"));
    QCOMPARE(window.bufferTextbox->text(), QStringLiteral("1"));
    QCOMPARE(window.setBufferSize, 1);
    QCOMPARE(window.realBufferSize, 1024);
    QVERIFY(!window.verboseCheckbox->isChecked() && !window.timesCheckbox->isChecked());
    QCOMPARE(window.outputTextbox->font().pointSizeF(), 12.0);
    QCOMPARE(window.processingQueue.maxThreadCount(), 8);

    window.show();
    QVERIFY(!window.progressSpinner->isVisible());
    QList<QAction*> inMenus;
    for (QAction* menu : window.menuBar()->actions()) {
        inMenus += menu->menu()->actions();
    }
    const std::pair<const char*, QKeySequence> shortcuts[] = {
        {"actionExport", QKeySequence(QStringLiteral("Ctrl+S"))},
        {"actionQuit", QKeySequence(QStringLiteral("Ctrl+Q"))},
        {"actionLarger", QKeySequence::ZoomIn},
        {"actionSmaller", QKeySequence::ZoomOut}};
    for (const auto& [name, keys] : shortcuts) {
        auto* action = window.findChild<QAction*>(QString::fromLatin1(name));
        QVERIFY2(action && inMenus.contains(action), name);
        QCOMPARE(action->shortcut(), keys);
    }

    // Qt on Linux names a pop-up by its current item, so the pop-up's own name is read off the
    // widget.
    QCOMPARE(window.sizePopup->accessibleName(), QStringLiteral("Buffer size unit"));
    QStringList names;
    for (QWidget* control :
         QList<QWidget*>{window.bufferTextbox, window.verboseCheckbox, window.timesCheckbox,
                         window.outputTextbox, window.progressSpinner}) {
        names.append(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name));
    }
    for (auto* button : window.findChildren<QPushButton*>()) {
        names.append(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name));
    }
    QCOMPARE(names, (QStringList{"Buffer size", "Verbose", "Time stamps", "Report", "Activity",
                                 "Check", "Tag", "Retag"}));
}

void WindowTest::settingsSurviveClosingAndReopening_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<bool>("times");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<qint64>("loadedUnits");

    QTest::newRow("megabytes") << "4" << 1 << true << false << "4" << qint64{4};
    QTest::newRow("fraction") << "2.5" << 0 << false << true << "2.5" << qint64{2};
    QTest::newRow("spaces around a number") << " 16 " << 0 << true << true << "16" << qint64{16};
    QTest::newRow("letters kept as typed") << "abc" << 1 << false << false << "abc" << qint64{1};
    QTest::newRow("empty kept as typed") << "" << 0 << true << false << "" << qint64{1};
}

void WindowTest::settingsSurviveClosingAndReopening()
{
    QFETCH(QString, entry);
    QFETCH(int, unit);
    QFETCH(bool, verbose);
    QFETCH(bool, times);
    QFETCH(QString, stored);
    QFETCH(qint64, loadedUnits);
    {
        ViewController window;
        window.show();
        window.bufferTextbox->setText(entry);
        window.sizePopup->setCurrentIndex(unit);
        window.verboseCheckbox->setChecked(verbose);
        window.timesCheckbox->setChecked(times);
        QVERIFY(window.close());
    }
    QCOMPARE(openUserSettings()->value("bufferSize").toString(), stored);

    ViewController reopened;
    QCOMPARE(reopened.bufferTextbox->text(), stored);
    QCOMPARE(reopened.sizePopup->currentIndex(), unit);
    QCOMPARE(reopened.verboseCheckbox->isChecked(), verbose);
    QCOMPARE(reopened.timesCheckbox->isChecked(), times);
    QCOMPARE(reopened.setBufferSize, loadedUnits);
    QCOMPARE(reopened.realBufferSize, 1024);
}

void WindowTest::theFontSizeLoadsAndChangesWithinFourAndSixty_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("action");
    QTest::addColumn<double>("expected");
    QTest::newRow("absent") << QVariant() << "" << 12.0;
    QTest::newRow("3.5 loads as 12") << QVariant(3.5) << "" << 12.0;
    QTest::newRow("4 loads as 4") << QVariant(4.0) << "" << 4.0;
    QTest::newRow("100 is not limited on loading") << QVariant(100.0) << "" << 100.0;
    QTest::newRow("larger") << QVariant(12.0) << "actionLarger" << 13.0;
    QTest::newRow("smaller") << QVariant(12.0) << "actionSmaller" << 11.0;
    QTest::newRow("larger near 60") << QVariant(59.5) << "actionLarger" << 60.0;
    QTest::newRow("larger from above 60") << QVariant(100.0) << "actionLarger" << 60.0;
    QTest::newRow("smaller near 4") << QVariant(4.5) << "actionSmaller" << 4.0;
}

void WindowTest::theFontSizeLoadsAndChangesWithinFourAndSixty()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, action);
    QFETCH(double, expected);
    if (stored.isValid()) {
        openUserSettings()->setValue("fontSize", stored);
    }
    ViewController window;
    window.show();
    window.setReportText("line one\nline two\n");
    if (!action.isEmpty()) {
        window.findChild<QAction*>(action)->trigger();
        QCOMPARE(openUserSettings()->value("fontSize").toDouble(), expected);
    }
    QCOMPARE(window.theFontSize, expected);
    QCOMPARE(window.outputTextbox->font().pointSizeF(), expected);
    QCOMPARE(window.outputTextbox->plainText(), QStringLiteral("line one\nline two\n"));
}

void WindowTest::eachPressOpensTheChooserAndRecomputesTheBuffer_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("confirm");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("unit");
    QTest::addColumn<qint64>("units");
    QTest::addColumn<qint64>("bytes");
    constexpr qint64 gib = qint64{1} << 30;
    const QString check = QStringLiteral("checkButton");

    QTest::newRow("1 KB") << "retagButton"
                          << "Retag"
                          << "1" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("4 MB") << "hashButton"
                          << "Tag"
                          << "4" << 1 << qint64{4} << qint64{4194304};
    QTest::newRow("empty, KB") << check << "Check"
                               << "" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("letters, MB") << check << "Check"
                                 << "abc" << 1 << qint64{1} << qint64{1048576};
    QTest::newRow("fraction dropped") << check << "Check"
                                      << "2.5" << 0 << qint64{2} << qint64{2048};
    QTest::newRow("below one unit") << check << "Check"
                                    << "0.5" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("zero") << check << "Check"
                          << "0" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("negative") << check << "Check"
                              << "-7" << 1 << qint64{1} << qint64{1048576};
    QTest::newRow("1 GiB in KB") << check << "Check"
                                 << "1048576" << 0 << qint64{1048576} << gib;
    QTest::newRow("over 1 GiB in KB") << check << "Check"
                                      << "1048577" << 0 << qint64{1048576} << gib;
    QTest::newRow("over 1 GiB in MB") << check << "Check"
                                      << "5000" << 1 << qint64{1024} << gib;
    QTest::newRow("would overflow") << check << "Check"
                                    << "9223372036854775807" << 0 << qint64{1048576} << gib;
    QTest::newRow("far beyond") << check << "Check"
                                << "1e300" << 1 << qint64{1024} << gib;
}

// The buffer is recomputed at the press, so even a cancelled chooser leaves it in force.
void WindowTest::eachPressOpensTheChooserAndRecomputesTheBuffer()
{
    QFETCH(QString, button);
    QFETCH(QString, confirm);
    QFETCH(QString, entry);
    QFETCH(int, unit);
    QFETCH(qint64, units);
    QFETCH(qint64, bytes);
    ViewController window;
    window.show();
    window.setReportText("an earlier report\n");
    window.bufferTextbox->setText(entry);
    window.sizePopup->setCurrentIndex(unit);

    QFileDialog* chooser = pressForChooser(window, button);
    QVERIFY(chooser && chooser->isVisible());
    QCOMPARE(chooser->labelText(QFileDialog::Accept), confirm);
    QCOMPARE(chooser->fileMode(), QFileDialog::Directory);
    QVERIFY(chooser->testOption(QFileDialog::ShowDirsOnly));
    QVERIFY(chooser->filter().testFlag(QDir::Hidden));
    QCOMPARE(chooser->windowModality(), Qt::WindowModal);
    QCOMPARE(window.realBufferSize, bytes);
    QCOMPARE(window.setBufferSize, units);
    chooser->reject();
    QCOMPARE(window.outputTextbox->plainText(), QStringLiteral("an earlier report\n"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
    QCOMPARE(window.runsUnderWay(), 0);
}

void WindowTest::aCheckShowsTheEnginesReportTitleAndIndicator()
{
    TempTree tree;
    quelby::test::tagByHand(tree.file("a.txt", "alpha"), "2024-03-09T17_05_42Z");
    const std::string changed = tree.file("sub/deep/b.txt", "beta");
    quelby::test::storeAttribute(changed, quelby::kDigestAttributeName,
                                 quelby::digestOfBytes("other").view());
    tree.file(".hidden", "gamma");
    tree.file("caf\xE9.txt", "delta");

    ViewController window;
    window.show();
    window.verboseCheckbox->setChecked(true);
    window.bufferTextbox->setText(QStringLiteral("8"));
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QVERIFY(chooseFolder(window, tree.root()));

    QCOMPARE(window.runsUnderWay(), 1);
    QVERIFY(window.progressSpinner->isVisible() && window.progressSpinner->isAnimating());
    QCOMPARE(QAccessible::queryAccessibleInterface(window.progressSpinner)
                 ->text(QAccessible::Description),
             QStringLiteral("A run is under way"));
    QCOMPARE(window.outputTextbox->plainText(), QString());
    QCOMPARE(window.windowTitle(), QFileInfo(shown(tree.root())).fileName());
    QVERIFY(window.runDate && *window.runDate >= before);

    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
    QVERIFY(!window.progressSpinner->isVisible() && !window.progressSpinner->isAnimating());
    quelby::RunOptions options = quelby::test::optionsFor(Operation::check, tree.root(), true);
    options.setBufferSize = 8;
    options.realBufferSize = 8192;
    const QString report =
        QString::fromStdString(quelby::withInvalidUtf8Escaped(quelby::test::runReport(options)));
    QCOMPARE(window.outputTextbox->plainText(), report);
    QVERIFY(report.contains(shown(tree.root()) + QStringLiteral("/caf\\xe9.txt")));
    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(window.outputTextbox)->textInterface();
    QVERIFY(text);
    QCOMPARE(text->text(0, text->characterCount()), report);
}

void WindowTest::overlappingRunsKeepTheIndicatorAndTheirOwnBuffer()
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
    QVERIFY(chooseFolder(window, larger.root()));
    window.bufferTextbox->setText(QStringLiteral("8"));
    window.sizePopup->setCurrentIndex(1);
    QVERIFY(chooseFolder(window, smaller.root()));
    HideWatcher watcher(window.outputTextbox);
    window.progressSpinner->installEventFilter(&watcher);
    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);

    QCOMPARE(watcher.atHide.size(), 1);
    const QString atHide = watcher.atHide.first();
    QVERIFY(atHide.contains("Checked a total of 300 files in " + shown(larger.root())));
    QVERIFY(atHide.contains(QStringLiteral("Buffer size 4 giving actual buffer 4096")));
    QVERIFY(atHide.contains("Checked a total of 1 files in " + shown(smaller.root())));
    QVERIFY(atHide.contains(QStringLiteral("Buffer size 8 giving actual buffer 8388608")));
    QCOMPARE(window.windowTitle(), QFileInfo(shown(smaller.root())).fileName());
}

void WindowTest::aFailedTagWriteReachesTheReportAsANotice()
{
    TempTree tree;
    tree.file("a", "writable");
    const std::string locked = tree.file("b", "immutable");
    if (!quelby::test::setImmutable(locked, true)) {
        QSKIP("chattr +i is not available here, so no attribute write can be made to fail");
    }
    struct Unlock
    {
        std::string path;
        ~Unlock() { quelby::test::setImmutable(path, false); }
    } unlock{locked};

    ViewController window;
    window.show();
    window.startRun(Operation::tag, QDialog::Accepted, shown(tree.root()));
    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
    const QString report = window.outputTextbox->plainText();
    QVERIFY2(report.startsWith(QString::fromUtf8("\xE2\x9D\x8C Couldn't tag ") + shown(locked) +
                               QStringLiteral(": ")),
             qPrintable(report));
    QVERIFY(
        report.endsWith("Tagged a total of 2 files in " + shown(tree.root()) + " with 1 errors."));
    QVERIFY(quelby::test::storedAttribute(tree.path("a"), quelby::kDigestAttributeName));
}

void WindowTest::closingDuringAWalkStopsItWithEveryAttributeWhole()
{
    constexpr int kFiles = 3000;
    TempTree tree;
    std::vector<std::pair<std::string, std::string>> files;
    for (int index = 0; index < kFiles; ++index) {
        char name[16];
        std::snprintf(name, sizeof name, "f%05d", index);
        const std::string contents = std::string(16384, static_cast<char>('a' + index % 26)) + name;
        files.emplace_back(tree.file(name, contents), contents);
    }

    ViewController window;
    window.show();
    window.startRun(Operation::tag, QDialog::Accepted, shown(tree.root()));
    // Close only once the walk is under way: the first file in name order has its digest.
    QElapsedTimer patience;
    patience.start();
    while (!quelby::test::storedAttribute(files.front().first, quelby::kDigestAttributeName)) {
        QVERIFY2(patience.elapsed() < 60000, "the walk never tagged its first file");
        QThread::yieldCurrentThread();
    }
    QVERIFY(window.close());

    int taggedCount = 0;
    for (const auto& [path, contents] : files) {
        if (const auto stored = quelby::test::storedAttribute(path, quelby::kDigestAttributeName)) {
            ++taggedCount;
            QVERIFY2(quelby::digestOfBytes(contents).matches(*stored), path.c_str());
        }
    }
    QVERIFY2(taggedCount < kFiles, "closing let the walk run to its end");
    QCOMPARE(window.processingQueue.activeThreadCount(), 0);
    QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("1"));
}

void WindowTest::exportWritesTheReportWithItsFooterOrSaysWhyNot()
{
    TempTree tree;
    const std::string existing = tree.file("existing.txt", std::string(5000, 'z'));
    const std::string unreachable = tree.path("no such folder/report.text");
    ViewController window;
    window.show();
    window.setReportText("report\n");
    window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
    window.findChild<QFileDialog*>(QStringLiteral("exportDialog"))->reject();
    QVERIFY(!window.findChild<QMessageBox*>());

    const QByteArray footer("\nChecked by Quelby at 2024-03-05 14:07:09 +0000\n");
    const QDateTime utc(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::UTC);
    const struct
    {
        QDateTime runDate; // invalid: no run yet
        const char* name;
        std::string target;
        QByteArray written; // empty: the export fails
    } exports[] = {
        {QDateTime(), "Quelby_undated.text", existing, "line one\n\xE2\x9C\x85 caf\\xe9"},
        {utc, "Quelby_2024-03-05T14_07_09Z.text", existing,
         "line one\n\xE2\x9C\x85 caf\\xe9" + footer},
        {utc.toOffsetFromUtc(7200), "Quelby_2024-03-05T14_07_09Z.text", existing,
         "line one\n\xE2\x9C\x85 caf\\xe9" + footer},
        {utc, "Quelby_2024-03-05T14_07_09Z.text", unreachable, QByteArray()},
    };
    for (const auto& row : exports) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        window.setReportText("line one\n\xE2\x9C\x85 caf\xE9");
        if (row.runDate.isValid()) {
            window.runDate = row.runDate;
        }
        window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
        auto* dialog = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
        QVERIFY(dialog);
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QString(row.name));
        QVERIFY(dialog->nameFilters().join(' ').contains(QStringLiteral("*.text *.txt")));
        // What a walk adds while the dialog is open is not part of this export.
        window.appendReportText("\nlate line");
        emit dialog->fileSelected(shown(row.target));
        delete dialog;
        auto* alert = window.findChild<QMessageBox*>(QStringLiteral("exportErrorAlert"));
        if (!row.written.isEmpty()) {
            // An existing file is replaced whole.
            QCOMPARE(QByteArray::fromStdString(quelby::test::readWholeFile(existing)), row.written);
            QVERIFY(!alert);
        } else {
            QVERIFY(alert && alert->isVisible());
            QCOMPARE(alert->icon(), QMessageBox::Critical);
            QCOMPARE(alert->text(), QStringLiteral("An error occurred:"));
            QVERIFY(!alert->informativeText().isEmpty());
            QVERIFY(!QFileInfo::exists(shown(unreachable)));
        }
    }
}

void WindowTest::keysSelectAndCopyLines()
{
    ReportView view;
    view.resize(600, 300);
    view.show();
    view.setText(kReport);
    view.setFocus();

    QTest::keyClick(&view, Qt::Key_Down);
    QTest::keyClick(&view, Qt::Key_End, Qt::ShiftModifier);
    QCOMPARE(view.selectedText(),
             QString::fromUtf8("\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /a/b @ "
                               "2024-03-09T17_05_42Z"));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), view.selectedText());

    QTest::keyClick(&view, Qt::Key_Home);
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    // The warning sign and its variation selector are one character for the caret.
    QCOMPARE(view.selectedText(), QString::fromUtf8("\xE2\x9A\xA0\xEF\xB8\x8F"));

    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(kReport));

    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Up, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Home, Qt::ShiftModifier);
    QCOMPARE(view.selectedText(), QString::fromUtf8("\xE2\x9D\x8C Couldn't read /a/caf\xC3\xA9: "
                                                    "Permission denied\nChecked a total of 3 "
                                                    "files in /a"));
}

void WindowTest::draggingTheMouseSelectsText()
{
    ReportView view;
    view.resize(600, 300);
    view.show();
    view.setText(kReport);
    const qsizetype from = view.lineStart(0) + 6; // "line" of "first line"
    const qsizetype to = view.lineStart(1) + 2;   // after the warning sign
    QWidget* viewport = view.viewport();
    // Just inside each character's left edge: the caret goes before it.
    const auto before = [&view](qsizetype position) {
        return view.characterRect(position).topLeft() + QPoint(1, 2);
    };
    sendMouse(viewport, QEvent::MouseButtonPress, before(from), Qt::LeftButton);
    sendMouse(viewport, QEvent::MouseMove, before(to), Qt::LeftButton);
    sendMouse(viewport, QEvent::MouseButtonRelease, before(to), Qt::NoButton);
    QCOMPARE(view.selectedText(), QString::fromUtf8("line\n\xE2\x9A\xA0\xEF\xB8\x8F"));
}

// A run's text arrives in pieces that need not end at a line feed.
void WindowTest::aManyLineAppendKeepsEveryLine()
{
    std::string many = "ing\n";
    for (int line = 0; line < 200000; ++line) {
        many += "\xE2\x9C\x85 Digests for /data/photos/" + std::to_string(line) + ".jpg @ ??\n";
    }
    ReportView view;
    view.resize(600, 300);
    view.show();
    view.setText("Check");
    view.appendText(many);
    view.appendText("Checked a total of 200000 files");
    view.appendText(" in /data");

    QCOMPARE(view.lineCount(), 200002);
    QCOMPARE(view.lineText(0), QStringLiteral("Checking"));
    QCOMPARE(view.lineText(123457),
             QString::fromUtf8("\xE2\x9C\x85 Digests for /data/photos/123456.jpg @ ??"));
    QCOMPARE(view.lineText(200001), QStringLiteral("Checked a total of 200000 files in /data"));
    QCOMPARE(view.characterCount(), view.plainText().size());

    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    QVERIFY(view.verticalScrollBar()->maximum() > 199000);
}

void WindowTest::aFontSizeChangeRerendersTheWholeReport()
{
    ReportView view;
    view.resize(600, 300);
    view.show();
    view.setText(kReport);
    const int smallHeight = view.characterRect(view.lineStart(3)).height();
    const int smallTop = view.characterRect(view.lineStart(3)).top();
    view.setPointSize(30);
    QCOMPARE(view.font().pointSizeF(), 30.0);
    QVERIFY(view.characterRect(view.lineStart(3)).height() > 2 * smallHeight);
    QVERIFY(view.characterRect(view.lineStart(3)).top() > 2 * smallTop);
    QCOMPARE(view.plainText(), QString::fromStdString(kReport));
}

void WindowTest::screenReadersReadTextLinesCaretAndSelection()
{
    ReportView view;
    view.show();
    view.setText(kReport);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(accessible && accessible->state().readOnly);
    QAccessibleTextInterface* text = accessible->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), QString::fromStdString(kReport).size());

    const QString second = view.lineText(1) + QLatin1Char('\n');
    const int inSecond = static_cast<int>(view.lineStart(1)) + 8; // the g of "digest"
    int start = -1;
    int end = -1;
    const struct
    {
        QAccessible::TextBoundaryType boundary;
        int direction;
        QString expected;
    } reads[] = {
        {QAccessible::LineBoundary, 0, second},
        {QAccessible::LineBoundary, -1, QStringLiteral("first line\n")},
        {QAccessible::LineBoundary, +1, view.lineText(2) + QLatin1Char('\n')},
        {QAccessible::WordBoundary, 0, QStringLiteral("digest")},
        {QAccessible::CharBoundary, 0, QStringLiteral("g")},
        {QAccessible::NoBoundary, 0, QString::fromStdString(kReport)},
    };
    for (const auto& read : reads) {
        const QString got =
            read.direction < 0   ? text->textBeforeOffset(inSecond, read.boundary, &start, &end)
            : read.direction > 0 ? text->textAfterOffset(inSecond, read.boundary, &start, &end)
                                 : text->textAtOffset(inSecond, read.boundary, &start, &end);
        QCOMPARE(got, read.expected);
        QCOMPARE(text->text(start, end), read.expected);
    }

    text->setSelection(0, 6, 10);
    QCOMPARE(view.selectedText(), QStringLiteral("line"));
    QCOMPARE(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    QCOMPARE(start, 6);
    QCOMPARE(end, 10);
    text->setCursorPosition(3);
    QCOMPARE(view.cursorPosition(), 3);
    QCOMPARE(text->selectionCount(), 0);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
