// What a new user meets in the main window: edits told from damage, runs on lines of their own,
// described and visible controls, and a buffer size that cannot be nothing.

#include "engine/read/file_digest.h"
#include "engine/run_fixture.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "palettes.h"
#include "support/temp_tree.h"
#include "window/folders_view.h"
#include "window/line_colours.h"
#include "window/report_view.h"
#include "window/user_settings.h"
#include "window/view_controller.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStyle>
#include <QTest>

#include <cmath>

using quelby::Operation;
using quelby::test::TempTree;
using quelby::test::contrastRatio;
using quelby::test::darkPalette;

namespace {

QString shown(const std::string& path)
{
    return QFile::decodeName(path.c_str());
}

bool drawsColour(QWidget* widget, const QColor& colour)
{
    const QImage drawn = widget->grab().toImage();
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            if (drawn.pixel(x, y) == colour.rgb()) {
                return true;
            }
        }
    }
    return false;
}

void runAndWait(ViewController& window, Operation operation, const std::string& folder)
{
    window.startRuns(operation, std::vector<std::string>{folder});
    QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
}

} // namespace

class FirstUseTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { openUserSettings()->clear(); }

    // Off, the window's texts and Retag stay as they were; on, Check ends each differing line
    // with its verdict and counts them as check --explain does, and Retag keeps the digest of
    // a file not judged edited, as retag --only-edited does.
    void tellingEditsFromDamageJudgesDifferencesAndKeepsTheEvidence()
    {
        for (const bool tell : {false, true}) {
            TempTree tree;
            const std::string edited = tree.file("edited.txt", "alpha");
            quelby::test::tagByHand(edited, "2001-01-01T00_00_00Z");
            quelby::test::writeWholeFile(edited, "alpha, edited");
            const std::string damaged = tree.file("damaged.txt", "beta");
            quelby::test::tagByHand(damaged, "2099-01-01T00_00_00Z");
            const std::string damagedDigest = quelby::test::storedDigest(damaged);
            quelby::test::writeWholeFile(damaged, "bet\x01");

            ViewController window;
            QCOMPARE(window.tellEditsCheckbox->accessibleName(),
                     QStringLiteral("Tell edits from damage"));
            QVERIFY(!window.tellEditsCheckbox->isChecked());
            window.tellEditsCheckbox->setChecked(tell);
            window.show();
            runAndWait(window, Operation::check, tree.root());

            quelby::RunOptions options = quelby::test::optionsFor(Operation::check, tree.root());
            options.setBufferSize = 1;
            options.realBufferSize = 1024;
            options.explain = tell;
            quelby::RunState state;
            std::string expected = quelby::test::runReport(options, &state);
            if (tell) {
                const std::string verdicts = quelby::report::verdictsLine(state);
                expected += "\n" + verdicts.substr(0, verdicts.size() - 1);
            }
            const QString report = window.outputTextbox->plainText();
            QCOMPARE(report, QString::fromStdString(expected));
            QCOMPARE(report.contains(shown(damaged) + " aren't equal: not modified since it was "
                                                      "tagged: possible damage."),
                     tell);
            QCOMPARE(report.contains(shown(edited) + " aren't equal: modified after it was "
                                                     "tagged."),
                     tell);
            QCOMPARE(report.endsWith("Of the files that differ: 1 edited, 1 possibly damaged, 0 "
                                     "unknown."),
                     tell);

            runAndWait(window, Operation::retag, tree.root());
            const QString retagReport = window.outputTextbox->plainText();
            QCOMPARE(retagReport.contains("\u274C Kept the digest of " + shown(damaged) +
                                          ": not modified since it was tagged: possible damage"),
                     tell);
            QCOMPARE(quelby::test::storedDigest(damaged) == damagedDigest, tell);
            QCOMPARE(quelby::test::storedDigest(edited),
                     quelby::digestOfBytes("alpha, edited").view());
            QVERIFY(window.close());
            QCOMPARE(openUserSettings()->value("tellEditsFromDamage").toBool(), tell);
            ViewController reopened;
            QCOMPARE(reopened.tellEditsCheckbox->isChecked(), tell);
        }
    }

    // Runs that end together each start on a line of their own; the last keeps its text as the
    // export expects it, without a line break at its end.
    void successiveRunsStartOnLinesOfTheirOwn()
    {
        TempTree first;
        first.file("a.txt", "alpha");
        TempTree second;
        second.file("b.txt", "beta");
        ViewController window;
        window.show();
        window.startRuns(Operation::check, {shown(first.root()), shown(second.root())});
        QTRY_COMPARE_WITH_TIMEOUT(window.runsUnderWay(), 0, 20000);
        const QString report = window.outputTextbox->plainText();
        const QStringList lines = report.split('\n');
        QCOMPARE(lines.filter(QRegularExpression("^Checked a total of 1 files in ")).size(), 2);
        QVERIFY2(!report.contains("digest.Checked"), qPrintable(report));
        QVERIFY(report.endsWith("1 had no digest."));
    }

    // Every control says what it does, the keyboard starts on Check, and in a light and a dark
    // palette the outline drawn round check boxes, fields and buttons reads at 3:1 or better
    // against the window and the field's base.
    void everyControlIsDescribedVisibleAndTheFocusStartsOnCheck()
    {
        ViewController window;
        window.show();
        QApplication::setActiveWindow(&window);
        QTRY_VERIFY(window.isActiveWindow());
        QCOMPARE(QApplication::focusWidget(), window.findChild<QPushButton*>("checkButton"));
        const QList<QWidget*> controls = window.findChildren<QWidget*>();
        int described = 0;
        for (QWidget* control : controls) {
            const bool isControl = qobject_cast<QAbstractButton*>(control) ||
                                   qobject_cast<QLineEdit*>(control) ||
                                   qobject_cast<QComboBox*>(control) ||
                                   qobject_cast<ReportView*>(control);
            // A spin box's own field shows the spin box's tip.
            auto* spinBox = qobject_cast<QAbstractSpinBox*>(control->parentWidget());
            const QString tip = spinBox != nullptr ? spinBox->toolTip() : control->toolTip();
            if (isControl && control->isVisibleTo(&window)) {
                QVERIFY2(!tip.isEmpty(), qPrintable(control->objectName()));
                ++described;
            }
        }
        QVERIFY(described >= 10);

        const std::pair<const char*, QPalette> palettes[] = {
            {"light", QApplication::style()->standardPalette()}, {"dark", darkPalette()}};
        for (const auto& [name, palette] : palettes) {
            const QColor frame = controlFrameColour(palette);
            for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base}) {
                QVERIFY2(contrastRatio(frame, palette.color(role)) >= 3.0,
                         qPrintable(QString("%1 %2").arg(name, frame.name())));
            }
            window.setPalette(palette);
            const QList<QWidget*> outlined{window.tellEditsCheckbox,
                                           window.verboseCheckbox,
                                           window.timesCheckbox,
                                           window.bufferTextbox,
                                           window.sizePopup,
                                           window.findChild<QWidget*>("checkButton"),
                                           window.foldersView->checkRegularly,
                                           window.foldersView->periodBox,
                                           window.foldersView->addFolderButton};
            for (QWidget* control : outlined) {
                QVERIFY2(drawsColour(control, frame),
                         qPrintable(QString("%1 %2").arg(name, control->objectName())));
            }
        }
    }

    // The field turns a size of nothing away as it is typed; one stored by an older version, or
    // put in the field by other means, goes back to the last size taken and is never saved.
    void aBufferSizeOfNothingIsRefusedAndNeverSaved()
    {
        {
            ViewController window;
            window.show();
            window.bufferTextbox->setFocus();
            window.bufferTextbox->selectAll();
            QTest::keyClicks(window.bufferTextbox, "8");
            QCOMPARE(window.bufferTextbox->text(), QStringLiteral("8"));
            window.bufferTextbox->selectAll();
            QTest::keyClicks(window.bufferTextbox, "0");
            QCOMPARE(window.bufferTextbox->text(), QStringLiteral("8"));
            window.bufferTextbox->setText(QStringLiteral("0.5"));
            QVERIFY(window.close());
            QCOMPARE(openUserSettings()->value("bufferSize").toString(), QStringLiteral("8"));
        }
        openUserSettings()->setValue("bufferSize", QStringLiteral("0"));
        ViewController window;
        QCOMPARE(window.bufferTextbox->text(), QStringLiteral("1"));
        window.show();
        window.bufferTextbox->setText(QStringLiteral("0"));
        emit window.bufferTextbox->editingFinished();
        QCOMPARE(window.bufferTextbox->text(), QStringLiteral("1"));
    }
};

QTEST_MAIN(FirstUseTest)
#include "first_use_test.moc"
