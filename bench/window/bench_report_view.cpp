// Main-thread cost of the report: a verbose Check's finished text of 100,000
// and 1,000,000 lines appended in one piece, a font-size change, select all
// plus copy, 100,000 Tag notices posted one by one from a walk's thread, and
// the process's memory with the million-line report shown. Beside it, the
// same 100,000-line append into a QPlainTextEdit as the reference. Then a
// Check report of 1,000,000 lines of every kind (each drawn in its colour)
// appended and painted, and Show Problems Only switched on and off over it.
//
// Runs offscreen; settings go to Qt's test location, never the user's.

#include "window/report_view.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QStandardPaths>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

// One line of a verbose Check, about 120 bytes.
std::string checkLine(int index)
{
    char line[160];
    std::snprintf(line, sizeof line,
                  "\xE2\x9C\x85 Digests for /home/sam/Pictures/2024/Family holiday in the "
                  "mountains/IMG_%07d.jpg @ 2024-03-09T17_05_42Z\n",
                  index);
    return line;
}

// Every file's line of the kind given, then the summary.
KindedText checkReport(int lines, LineKind kind = LineKind::success)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(lines) * 124 + 200);
    for (int index = 0; index < lines; ++index) {
        text += checkLine(index);
    }
    KindedText report(text, kind);
    report.add("Checked a total of " + std::to_string(lines) + " files in /home/sam/Pictures\n\t" +
                   std::to_string(lines) +
                   " matched digest correctly\n\t0 didn't match their digest\n\t0 had no "
                   "digest.\nBuffer size 1 giving actual buffer 1024",
               LineKind::other);
    return report;
}

// A Check's report with a problem every so often: one line in 50 differs, one in 20 has no digest.
KindedText mixedReport(int lines)
{
    KindedText text;
    for (int index = 0; index < lines; ++index) {
        std::string line = checkLine(index);
        LineKind kind = LineKind::success;
        if (index % 50 == 0) {
            line.replace(0, 3, "\xE2\x9D\x8C");
            kind = LineKind::failure;
        } else if (index % 20 == 0) {
            line.replace(0, 3, "\xE2\x9A\xA0\xEF\xB8\x8F");
            kind = LineKind::warning;
        }
        text.add(line, kind);
    }
    text.add("Checked a total of " + std::to_string(lines) + " files in /home/sam/Pictures\n",
             LineKind::other);
    return text;
}

// Resident and peak resident memory of this process, in MiB.
std::pair<double, double> memoryMiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    double resident = 0;
    double peak = 0;
    while (status >> key) {
        double kib = 0;
        if (key == "VmRSS:" && status >> kib) {
            resident = kib / 1024;
        } else if (key == "VmHWM:" && status >> kib) {
            peak = kib / 1024;
        }
    }
    return {resident, peak};
}

template <typename Work> double seconds(Work work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);

    ViewController window;
    window.show();
    QApplication::processEvents();
    ReportView* report = window.outputTextbox;

    // A finished run's text is escaped on the walk's thread; the main thread appends and paints.
    for (const int lines : {100000, 1000000}) {
        const KindedText finished = checkReport(lines);
        window.setReportText(KindedText());
        KindedText prepared = ViewController::styledReportText(finished);
        const double appendSeconds = seconds([&] {
            report->appendText(std::move(prepared));
            report->viewport()->repaint();
        });
        window.setReportText(KindedText());
        const double withEscapingSeconds = seconds([&] {
            window.appendReportText(finished);
            report->viewport()->repaint();
        });
        std::printf("append %7d lines (%5.1f MiB): %.3f s on the main thread "
                    "(%.3f s if the escaping ran there too)\n",
                    lines, static_cast<double>(finished.text().size()) / 1048576.0, appendSeconds,
                    withEscapingSeconds);
    }

    const auto [shownResident, shownPeak] = memoryMiB();
    std::printf("memory with the 1,000,000-line report shown: %.0f MiB resident "
                "(peak so far %.0f MiB)\n",
                shownResident, shownPeak);

    const double fontSeconds = seconds([&] {
        window.incFontSize();
        report->viewport()->repaint();
    });
    std::printf("font-size change on 1,000,000 lines: %.3f s\n", fontSeconds);
    window.decFontSize();

    const double copySeconds = seconds([&] {
        report->selectAll();
        report->copy();
    });
    std::printf("select all + copy of 1,000,000 lines: %.3f s\n", copySeconds);
    report->setCursorPosition(0);

    window.setReportText(KindedText());
    constexpr int kNotices = 100000;
    // As a walk's observer does: the line is escaped on the walk's thread, appended on the main one.
    std::thread walk([&window, report] {
        for (int index = 0; index < kNotices; ++index) {
            KindedText shown = ViewController::styledReportText(
                KindedText("\xE2\x9D\x8C Couldn't tag /home/sam/Pictures/IMG_" +
                               std::to_string(index) + ".jpg: Operation not supported\n",
                           LineKind::failure));
            QMetaObject::invokeMethod(
                &window, [report, shown = std::move(shown)]() mutable {
                    report->appendText(std::move(shown));
                },
                Qt::QueuedConnection);
        }
    });
    walk.join();
    const double noticeSeconds = seconds([&] {
        while (report->lineCount() <= kNotices) {
            QApplication::processEvents();
        }
        report->viewport()->repaint();
    });
    std::printf("%d Tag notices posted one by one: %.3f s on the main thread in all\n", kNotices,
                noticeSeconds);

    // The reference: a plain text widget taking the same 100,000 lines in one append.
    window.setReportText(KindedText());
    const QString reference = QString::fromStdString(checkReport(100000).text());
    QPlainTextEdit plain;
    plain.setReadOnly(true);
    plain.resize(800, 500);
    plain.show();
    const double plainSeconds = seconds([&] {
        plain.appendPlainText(reference);
        plain.viewport()->repaint();
    });
    std::printf("reference: QPlainTextEdit append of 100000 lines: %.3f s\n", plainSeconds);

    // Colours are chosen per line as it is painted, so appending costs what it did.
    window.setReportText(KindedText());
    KindedText mixed = ViewController::styledReportText(mixedReport(1000000));
    const double mixedSeconds = seconds([&] {
        report->appendText(std::move(mixed));
        report->viewport()->repaint();
    });
    std::printf("append 1000000 lines of every kind, painted in their colours: %.3f s "
                "(target under 1 s)\n",
                mixedSeconds);
    const double onSeconds = seconds([&] {
        report->setProblemsOnly(true);
        report->viewport()->repaint();
    });
    const qsizetype problemLines = report->lineCount();
    const double offSeconds = seconds([&] {
        report->setProblemsOnly(false);
        report->viewport()->repaint();
    });
    std::printf("Show Problems Only on 1000000 lines: on %.3f s (%lld lines left), off %.3f s "
                "(target under 0.5 s)\n",
                onSeconds, static_cast<long long>(problemLines), offSeconds);
    window.setReportText(KindedText());
    report->appendText(ViewController::styledReportText(checkReport(1000000, LineKind::failure)));
    report->viewport()->repaint();
    const double worstSeconds = seconds([&] {
        report->setProblemsOnly(true);
        report->viewport()->repaint();
    });
    std::printf("Show Problems Only on 1000000 lines that are all problems: on %.3f s\n",
                worstSeconds);
    return 0;
}
