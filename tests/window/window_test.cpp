// The main window driven offscreen through its real controls: settings in an
// isolated store, runs on real temporary folders, the chooser, the report's
// font and export, and closing while a walk is under way.

#include "window/busy_indicator.h"
#include "window/report_view.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include "engine/display_text.h"
#include "engine/file_digest.h"
#include "engine/tag_store.h"
#include "support/temp_tree.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

using quelby::Operation;
using quelby::test::TempTree;

namespace {

QString shown(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// The folder chooser a button press opened.
QFileDialog* pressForChooser(ViewController& window, const char* buttonName)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(window.findChild<QPushButton*>(QString::fromLatin1(buttonName)),
                      Qt::LeftButton);
    const auto choosers = window.findChildren<QFileDialog*>(QStringLiteral("folderChooser"));
    return choosers.isEmpty() ? nullptr : choosers.last();
}

// The text a finished Check over the folder shows: the engine's own, made fit for display.
QString engineCheckText(const std::string& folder, bool verbose, std::int64_t units,
                        std::int64_t bytes)
{
    quelby::RunOptions options;
    options.operation = Operation::check;
    options.folder = folder;
    options.verbose = verbose;
    options.backEnd = quelby::platformDigestBackEnd();
    options.setBufferSize = units;
    options.realBufferSize = bytes;
    quelby::RunObserver observer;
    const auto state = quelby::walkFolder(options, observer);
    return QString::fromStdString(
        quelby::withInvalidUtf8Escaped(quelby::finishedRunText(options, state)));
}

// Counts the indicator's hides and what the report held at each.
class HideWatcher : public QObject {
public:
    HideWatcher(QWidget* indicator, const ReportView* report) : report_(report)
    {
        indicator->installEventFilter(this);
    }
    QStringList reportsAtHide;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide) {
            reportsAtHide.append(report_->plainText());
        }
        return false;
    }

private:
    const ReportView* report_;
};

} // namespace

class ViewControllerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { openUserSettings()->clear(); }

    void firstLaunchShowsTheDefaults();
    void settingsSurviveClosingAndReopening_data();
    void settingsSurviveClosingAndReopening();
    void aStoredFontSizeBelowFourLoadsAsTwelve_data();
    void aStoredFontSizeBelowFourLoadsAsTwelve();
    void eachPressRecomputesTheBufferEvenWhenCancelled_data();
    void eachPressRecomputesTheBufferEvenWhenCancelled();
    void theChooserConfirmsWithTheOperationsName_data();
    void theChooserConfirmsWithTheOperationsName();
    void aCheckShowsTheEnginesReportTitleAndIndicator();
    void overlappingRunsKeepTheIndicatorAndTheirOwnBuffer();
    void aFailedTagWriteReachesTheReportAsANotice();
    void closingDuringAWalkStopsItWithEveryAttributeWhole();
    void fontActionsStayWithinFourAndSixty_data();
    void fontActionsStayWithinFourAndSixty();
    void exportProposesANameAndWritesTheReportWithItsFooter_data();
    void exportProposesANameAndWritesTheReportWithItsFooter();
    void aFailedExportShowsAnAlertAndACancelledOneNothing();
};

void ViewControllerTest::firstLaunchShowsTheDefaults()
{
    ViewController window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
    QCOMPARE(window.sizePopup->count(), 2);
    QCOMPARE(window.sizePopup->itemText(0), QStringLiteral("KB"));
    QCOMPARE(window.sizePopup->itemText(1), QStringLiteral("MB"));
    QCOMPARE(window.sizePopup->currentIndex(), 0);
    QCOMPARE(window.bufferTextbox->text(), QStringLiteral("1"));
    QCOMPARE(window.setBufferSize, 1);
    QCOMPARE(window.realBufferSize, 1024);
    QVERIFY(!window.verboseCheckbox->isChecked());
    QVERIFY(!window.timesCheckbox->isChecked());
    QCOMPARE(window.theFontSize, 12.0);
    QCOMPARE(window.outputTextbox->font().pointSizeF(), 12.0);
    QVERIFY(!window.runDate);
    QCOMPARE(window.theXattrName, std::string(quelby::kDigestAttributeName));
    QCOMPARE(window.theTimeXattrName, std::string(quelby::kTimeAttributeName));
    QCOMPARE(window.processingQueue.maxThreadCount(), 8);

    window.show();
    QVERIFY(!window.progressSpinner->isVisible());
    const QList<QAction*> menus = window.menuBar()->actions();
    QCOMPARE(menus.value(0)->text(), QStringLiteral("&File"));
    const QList<QAction*> file = menus.value(0)->menu()->actions();
    QCOMPARE(file.size(), 3);
    QCOMPARE(file[0]->objectName(), QStringLiteral("actionExport"));
    QCOMPARE(file[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
    QVERIFY(file[1]->isSeparator());
    QCOMPARE(file[2]->objectName(), QStringLiteral("actionQuit"));
    QCOMPARE(file[2]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    const auto* larger = window.findChild<QAction*>(QStringLiteral("actionLarger"));
    const auto* smaller = window.findChild<QAction*>(QStringLiteral("actionSmaller"));
    QVERIFY(larger && smaller);
    QCOMPARE(larger->shortcut(), QKeySequence(QKeySequence::ZoomIn));
    QCOMPARE(smaller->shortcut(), QKeySequence(QKeySequence::ZoomOut));

    // Qt on Linux names a pop-up by its current item and its label by a relation, so the pop-up's
    // own name is checked on the widget.
    QCOMPARE(window.sizePopup->accessibleName(), QStringLiteral("Buffer size unit"));
    QCOMPARE(QAccessible::queryAccessibleInterface(window.sizePopup)->text(QAccessible::Value),
             QStringLiteral("KB"));
    const QList<QWidget*> controls = {window.bufferTextbox, window.verboseCheckbox,
                                      window.timesCheckbox, window.outputTextbox,
                                      window.progressSpinner};
    QStringList names;
    for (QWidget* control : controls) {
        names.append(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name));
    }
    for (auto* button : window.findChildren<QPushButton*>()) {
        names.append(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name));
    }
    QCOMPARE(names, (QStringList{"Buffer size", "Verbose", "Time stamps",
                                 "Report", "Activity", "Check", "Tag", "Retag"}));
}

void ViewControllerTest::settingsSurviveClosingAndReopening_data()
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

void ViewControllerTest::settingsSurviveClosingAndReopening()
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

void ViewControllerTest::aStoredFontSizeBelowFourLoadsAsTwelve_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<double>("loaded");
    QTest::newRow("absent") << QVariant() << 12.0;
    QTest::newRow("3.5") << QVariant(3.5) << 12.0;
    QTest::newRow("4") << QVariant(4.0) << 4.0;
    QTest::newRow("17") << QVariant(17.0) << 17.0;
    QTest::newRow("100 is not limited on loading") << QVariant(100.0) << 100.0;
}

void ViewControllerTest::aStoredFontSizeBelowFourLoadsAsTwelve()
{
    QFETCH(QVariant, stored);
    QFETCH(double, loaded);
    if (stored.isValid()) {
        openUserSettings()->setValue("fontSize", stored);
    }
    ViewController window;
    QCOMPARE(window.theFontSize, loaded);
    QCOMPARE(window.outputTextbox->font().pointSizeF(), loaded);
}

void ViewControllerTest::eachPressRecomputesTheBufferEvenWhenCancelled_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("unit");
    QTest::addColumn<qint64>("units");
    QTest::addColumn<qint64>("bytes");
    constexpr qint64 gib = qint64{1} << 30;

    QTest::newRow("1 KB") << "1" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("4 KB") << "4" << 0 << qint64{4} << qint64{4096};
    QTest::newRow("4 MB") << "4" << 1 << qint64{4} << qint64{4194304};
    QTest::newRow("empty, KB") << "" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("letters, MB") << "abc" << 1 << qint64{1} << qint64{1048576};
    QTest::newRow("fraction dropped") << "2.5" << 0 << qint64{2} << qint64{2048};
    QTest::newRow("below one unit") << "0.5" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("zero") << "0" << 0 << qint64{1} << qint64{1024};
    QTest::newRow("negative") << "-7" << 1 << qint64{1} << qint64{1048576};
    QTest::newRow("exactly 1 GiB in KB") << "1048576" << 0 << qint64{1048576} << gib;
    QTest::newRow("above 1 GiB in KB") << "1048577" << 0 << qint64{1048576} << gib;
    QTest::newRow("above 1 GiB in MB") << "5000" << 1 << qint64{1024} << gib;
    QTest::newRow("would overflow") << "9223372036854775807" << 0 << qint64{1048576} << gib;
    QTest::newRow("far beyond") << "1e300" << 1 << qint64{1024} << gib;
}

void ViewControllerTest::eachPressRecomputesTheBufferEvenWhenCancelled()
{
    QFETCH(QString, entry);
    QFETCH(int, unit);
    QFETCH(qint64, units);
    QFETCH(qint64, bytes);
    ViewController window;
    window.show();
    window.setReportText("an earlier report\n");
    window.bufferTextbox->setText(entry);
    window.sizePopup->setCurrentIndex(unit);

    QFileDialog* chooser = pressForChooser(window, "checkButton");
    QVERIFY(chooser);
    QCOMPARE(window.realBufferSize, bytes);
    QCOMPARE(window.setBufferSize, units);
    chooser->reject();
    QCOMPARE(window.outputTextbox->plainText(), QStringLiteral("an earlier report\n"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quelby Integrity Check"));
    QCOMPARE(window.runsUnderWay(), 0);
}

void ViewControllerTest::theChooserConfirmsWithTheOperationsName_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("confirm");
    QTest::newRow("check") << "checkButton" << "Check";
    QTest::newRow("tag") << "hashButton" << "Tag";
    QTest::newRow("retag") << "retagButton" << "Retag";
}

void ViewControllerTest::theChooserConfirmsWithTheOperationsName()
{
    QFETCH(QString, button);
    QFETCH(QString, confirm);
    ViewController window;
    window.show();
    QFileDialog* chooser = pressForChooser(window, button.toLatin1().constData());
    QVERIFY(chooser);
    QCOMPARE(chooser->labelText(QFileDialog::Accept), confirm);
    QCOMPARE(chooser->fileMode(), QFileDialog::Directory);
    QVERIFY(chooser->testOption(QFileDialog::ShowDirsOnly));
    QVERIFY(chooser->filter().testFlag(QDir::Hidden));
    QCOMPARE(chooser->windowModality(), Qt::WindowModal);
    QVERIFY(chooser->isVisible());
    chooser->reject();
}

void ViewControllerTest::aCheckShowsTheEnginesReportTitleAndIndicator()
{
    TempTree tree;
    const std::string tagged = tree.file("a.txt", "alpha");
    quelby::test::storeAttribute(tagged, quelby::kDigestAttributeName,
                                 quelby::digestOfBytes("alpha").view());
    quelby::test::storeAttribute(tagged, quelby::kTimeAttributeName, "2024-03-09T17_05_42Z");
    const std::string changed = tree.file("sub/deep/b.txt", "beta");
    quelby::test::storeAttribute(changed, quelby::kDigestAttributeName,
                                 quelby::digestOfBytes("other").view());
    tree.file(".hidden", "gamma");
    tree.file("caf\xE9.txt", "delta");
    const std::string folder = tree.folder("checked");
    tree.file("checked/one", "1");

    ViewController window;
    window.show();
    window.verboseCheckbox->setChecked(true);
    window.bufferTextbox->setText(QStringLiteral("8"));
    QFileDialog* chooser = pressForChooser(window, "checkButton");
    QVERIFY(chooser);
    chooser->selectFile(shown(tree.root()));
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    static_cast<QDialog*>(chooser)->accept();

    QCOMPARE(window.runsUnderWay(), 1);
    QVERIFY(window.progressSpinner->isVisible());
    QVERIFY(window.progressSpinner->isAnimating());
    QCOMPARE(window.outputTextbox->plainText(), QString());
    QCOMPARE(window.windowTitle(), QFileInfo(shown(tree.root())).fileName());
    QVERIFY(window.runDate && *window.runDate >= before);
    QCOMPARE(QAccessible::queryAccessibleInterface(window.progressSpinner)
                 ->text(QAccessible::Description),
             QStringLiteral("A run is under way"));

    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
    QVERIFY(!window.progressSpinner->isVisible());
    QVERIFY(!window.progressSpinner->isAnimating());
    const QString report = window.outputTextbox->plainText();
    QCOMPARE(report, engineCheckText(tree.root(), true, 8, 8192));
    const QString root = shown(tree.root());
    QVERIFY(report.contains(QString::fromUtf8("\xE2\x9C\x85 Digests for ") + root +
                            QStringLiteral("/a.txt @ 2024-03-09T17_05_42Z\n")));
    QVERIFY(report.contains(QString::fromUtf8("\xE2\x9D\x8C Digests for ") + root +
                            QStringLiteral("/sub/deep/b.txt")));
    QVERIFY(report.contains(root + QStringLiteral("/.hidden")));
    QVERIFY(report.contains(root + QStringLiteral("/caf\\xe9.txt")));
    QVERIFY(report.contains(QStringLiteral("Checked a total of 5 files in ") + root));
    QVERIFY(report.endsWith(QStringLiteral("Buffer size 8 giving actual buffer 8192")));

    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(window.outputTextbox)->textInterface();
    QVERIFY(text);
    QCOMPARE(text->text(0, text->characterCount()), report);
}

void ViewControllerTest::overlappingRunsKeepTheIndicatorAndTheirOwnBuffer()
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
    const struct {
        const TempTree& tree;
        const char* entry;
        int unit;
    } runs[] = {{larger, "4", 0}, {smaller, "8", 1}};
    for (const auto& run : runs) {
        window.bufferTextbox->setText(QString::fromLatin1(run.entry));
        window.sizePopup->setCurrentIndex(run.unit);
        QFileDialog* chooser = pressForChooser(window, "checkButton");
        QVERIFY(chooser);
        chooser->selectFile(shown(run.tree.root()));
        static_cast<QDialog*>(chooser)->accept();
    }
    HideWatcher watcher(window.progressSpinner, window.outputTextbox);
    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);

    QCOMPARE(watcher.reportsAtHide.size(), 1);
    const QString atHide = watcher.reportsAtHide.first();
    QVERIFY(atHide.contains(QStringLiteral("Checked a total of 300 files in ") +
                            shown(larger.root())));
    QVERIFY(atHide.contains(QStringLiteral("Buffer size 4 giving actual buffer 4096")));
    QVERIFY(atHide.contains(QStringLiteral("Checked a total of 1 files in ") +
                            shown(smaller.root())));
    QVERIFY(atHide.contains(QStringLiteral("Buffer size 8 giving actual buffer 8388608")));
    QCOMPARE(window.windowTitle(), QFileInfo(shown(smaller.root())).fileName());
}

void ViewControllerTest::aFailedTagWriteReachesTheReportAsANotice()
{
    TempTree tree;
    tree.file("a", "writable");
    const std::string locked = tree.file("b", "immutable");
    if (!quelby::test::setImmutable(locked, true)) {
        QSKIP("chattr +i is not available here, so no attribute write can be made to fail");
    }
    struct Unlock {
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
    QVERIFY(report.endsWith(QStringLiteral("Tagged a total of 2 files in ") + shown(tree.root()) +
                            QStringLiteral(" with 1 errors.")));
    QVERIFY(quelby::test::storedAttribute(tree.path("a"), quelby::kDigestAttributeName));
}

void ViewControllerTest::closingDuringAWalkStopsItWithEveryAttributeWhole()
{
    constexpr int kFiles = 3000;
    TempTree tree;
    std::vector<std::pair<std::string, std::string>> files;
    for (int index = 0; index < kFiles; ++index) {
        char name[16];
        std::snprintf(name, sizeof name, "f%05d", index);
        std::string contents(16384, static_cast<char>('a' + index % 26));
        contents += name;
        files.emplace_back(tree.file(name, contents), contents);
    }

    ViewController window;
    window.show();
    window.startRun(Operation::tag, QDialog::Accepted, shown(tree.root()));
    // Wait until the walk is under way: the first file in name order has its digest.
    QElapsedTimer patience;
    patience.start();
    while (!quelby::test::storedAttribute(files.front().first, quelby::kDigestAttributeName)) {
        if (patience.elapsed() > 60000) {
            QFAIL("the walk never tagged its first file");
        }
        QThread::yieldCurrentThread();
    }
    QVERIFY(window.close());

    int taggedCount = 0;
    for (const auto& [path, contents] : files) {
        const auto stored = quelby::test::storedAttribute(path, quelby::kDigestAttributeName);
        if (stored) {
            ++taggedCount;
            QVERIFY2(quelby::digestOfBytes(contents).matches(*stored), path.c_str());
        }
    }
    QVERIFY(taggedCount >= 1);
    QVERIFY2(taggedCount < kFiles, "closing let the walk run to its end");
    QCOMPARE(window.processingQueue.activeThreadCount(), 0);
    QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("1"));
}

void ViewControllerTest::fontActionsStayWithinFourAndSixty_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<QString>("action");
    QTest::addColumn<double>("expected");
    QTest::newRow("larger") << 12.0 << "actionLarger" << 13.0;
    QTest::newRow("smaller") << 12.0 << "actionSmaller" << 11.0;
    QTest::newRow("larger at 60") << 60.0 << "actionLarger" << 60.0;
    QTest::newRow("larger near 60") << 59.5 << "actionLarger" << 60.0;
    QTest::newRow("larger from above 60") << 100.0 << "actionLarger" << 60.0;
    QTest::newRow("smaller at 4") << 4.0 << "actionSmaller" << 4.0;
    QTest::newRow("smaller near 4") << 4.5 << "actionSmaller" << 4.0;
}

void ViewControllerTest::fontActionsStayWithinFourAndSixty()
{
    QFETCH(double, start);
    QFETCH(QString, action);
    QFETCH(double, expected);
    openUserSettings()->setValue("fontSize", start);
    ViewController window;
    window.show();
    window.setReportText("line one\nline two\n");
    window.findChild<QAction*>(action)->trigger();
    QCOMPARE(window.theFontSize, expected);
    QCOMPARE(window.outputTextbox->font().pointSizeF(), expected);
    QCOMPARE(openUserSettings()->value("fontSize").toDouble(), expected);
    QCOMPARE(window.outputTextbox->plainText(), QStringLiteral("line one\nline two\n"));
}

void ViewControllerTest::exportProposesANameAndWritesTheReportWithItsFooter_data()
{
    QTest::addColumn<QDateTime>("runDate");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("before any run") << QDateTime() << "Quelby_undated.text"
                                    << QByteArray("line one\n\xE2\x9C\x85 two");
    QTest::newRow("after a run")
        << QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::UTC)
        << "Quelby_2024-03-05T14_07_09Z.text"
        << QByteArray("line one\n\xE2\x9C\x85 two\nChecked by Quelby at 2024-03-05 14:07:09 +0000\n");
    QTest::newRow("after a run, in another zone")
        << QDateTime(QDate(2024, 3, 5), QTime(16, 7, 9), Qt::OffsetFromUTC, 7200)
        << "Quelby_2024-03-05T14_07_09Z.text"
        << QByteArray("line one\n\xE2\x9C\x85 two\nChecked by Quelby at 2024-03-05 14:07:09 +0000\n");
}

void ViewControllerTest::exportProposesANameAndWritesTheReportWithItsFooter()
{
    QFETCH(QDateTime, runDate);
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    TempTree tree;
    ViewController window;
    window.show();
    window.setReportText("line one\n\xE2\x9C\x85 two");
    if (runDate.isValid()) {
        window.runDate = runDate;
    }
    window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
    auto* dialog = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
    QVERIFY(dialog);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), name);
    QVERIFY(dialog->nameFilters().join(' ').contains(QStringLiteral("*.text *.txt")));
    // What a walk adds while the dialog is open is not part of this export.
    window.appendReportText("\nlate line");

    const QString target = shown(tree.path("exported.text"));
    dialog->selectFile(target);
    static_cast<QDialog*>(dialog)->accept();
    QFile written(target);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), contents);

    // Choosing an existing file replaces it whole.
    const std::string existing = tree.file("existing.txt", std::string(5000, 'z'));
    window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
    const auto dialogs = window.findChildren<QFileDialog*>(QStringLiteral("exportDialog"));
    emit dialogs.last()->fileSelected(shown(existing));
    QByteArray expectedLater = contents;
    expectedLater.insert(QByteArray("line one\n\xE2\x9C\x85 two").size(), "\nlate line");
    QCOMPARE(QByteArray::fromStdString(quelby::test::readWholeFile(existing)), expectedLater);
    QVERIFY(!window.findChild<QMessageBox*>());
}

void ViewControllerTest::aFailedExportShowsAnAlertAndACancelledOneNothing()
{
    TempTree tree;
    ViewController window;
    window.show();
    window.setReportText("report\n");

    window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
    auto* cancelled = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
    QVERIFY(cancelled);
    cancelled->reject();
    QVERIFY(!window.findChild<QMessageBox*>());

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    window.findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
    auto* dialog = window.findChild<QFileDialog*>(QStringLiteral("exportDialog"));
    QVERIFY(dialog);
    const std::string unreachable = tree.path("no such folder/report.text");
    emit dialog->fileSelected(shown(unreachable));
    auto* alert = window.findChild<QMessageBox*>(QStringLiteral("exportErrorAlert"));
    QVERIFY(alert);
    QVERIFY(alert->isVisible());
    QCOMPARE(alert->icon(), QMessageBox::Critical);
    QCOMPARE(alert->text(), QStringLiteral("An error occurred:"));
    QVERIFY(!alert->informativeText().isEmpty());
    QVERIFY(!QFileInfo::exists(shown(unreachable)));
}

QTEST_MAIN(ViewControllerTest)
#include "view_controller_test.moc"
