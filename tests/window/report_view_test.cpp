// The report view driven as a user and a screen reader would: keys, mouse,
// clipboard and Qt's accessibility text interface.

#include "window/report_view.h"
#include "window/view_controller.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

namespace {

const std::string kReport = "first line\n"
                            "\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /a/b @ 2024-03-09T17_05_42Z\n"
                            "\xE2\x9D\x8C Couldn't read /a/caf\xC3\xA9: Permission denied\n"
                            "Checked a total of 3 files in /a";

void sendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class ReportViewTest : public QObject {
    Q_OBJECT

private slots:
    void keysSelectAndCopyLines();
    void draggingTheMouseSelectsText();
    void aManyLineAppendKeepsEveryLine();
    void textRunsOnAcrossAppendsWithoutALineFeed();
    void invalidUtf8IsShownCopiedAndReadAsHexEscapes();
    void aFontSizeChangeRerendersTheWholeReport();
    void screenReadersReadTextLinesCaretAndSelection();
};

void ReportViewTest::keysSelectAndCopyLines()
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

void ReportViewTest::draggingTheMouseSelectsText()
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

void ReportViewTest::aManyLineAppendKeepsEveryLine()
{
    std::string many;
    for (int line = 0; line < 200000; ++line) {
        many += "\xE2\x9C\x85 Digests for /data/photos/" + std::to_string(line) + ".jpg @ ??\n";
    }
    ReportView view;
    view.resize(600, 300);
    view.show();
    view.setText("Checking\n");
    view.appendText(many);
    view.appendText("Checked a total of 200000 files in /data");

    QCOMPARE(view.lineCount(), 200002);
    QCOMPARE(view.lineText(123457),
             QString::fromUtf8("\xE2\x9C\x85 Digests for /data/photos/123456.jpg @ ??"));
    QCOMPARE(view.lineText(200001), QStringLiteral("Checked a total of 200000 files in /data"));
    QCOMPARE(view.characterCount(), view.plainText().size());

    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    QVERIFY(view.verticalScrollBar()->maximum() > 199000);
}

void ReportViewTest::textRunsOnAcrossAppendsWithoutALineFeed()
{
    ReportView view;
    view.appendText("Tagged a total of 2 files");
    view.appendText(" in /x with 0 errors.\nnext");
    QCOMPARE(view.lineCount(), 2);
    QCOMPARE(view.lineText(0), QStringLiteral("Tagged a total of 2 files in /x with 0 errors."));
    QCOMPARE(view.lineText(1), QStringLiteral("next"));
}

void ReportViewTest::invalidUtf8IsShownCopiedAndReadAsHexEscapes()
{
    ViewController window;
    window.show();
    window.setReportText("\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /tmp/caf\xE9\xFF.txt @ ??\n");
    const QString expected =
        QString::fromUtf8("\xE2\x9A\xA0\xEF\xB8\x8F No digest found for /tmp/caf\\xe9\\xff.txt @ ??\n");
    QCOMPARE(window.outputTextbox->plainText(), expected);
    window.outputTextbox->selectAll();
    window.outputTextbox->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(window.outputTextbox);
    QVERIFY(accessible && accessible->textInterface());
    QCOMPARE(accessible->textInterface()->text(0, accessible->textInterface()->characterCount()),
             expected);
}

void ReportViewTest::aFontSizeChangeRerendersTheWholeReport()
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

void ReportViewTest::screenReadersReadTextLinesCaretAndSelection()
{
    ReportView view;
    view.setAccessibleName(QStringLiteral("Report"));
    view.show();
    view.setText(kReport);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Report"));
    QVERIFY(accessible->state().readOnly);
    QAccessibleTextInterface* text = accessible->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), QString::fromStdString(kReport).size());

    const QString second = view.lineText(1) + QLatin1Char('\n');
    const int inSecond = static_cast<int>(view.lineStart(1)) + 8; // the g of "digest"
    int start = -1;
    int end = -1;
    const struct {
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

QTEST_MAIN(ReportViewTest)
#include "report_view_test.moc"
