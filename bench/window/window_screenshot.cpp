// Draws the main window after a verbose Check, offscreen, into
// window-screenshot.png in the build folder (or the path given), so anyone
// can see what it looks like without a display.
//
// The folder checked is made afresh: files tagged with time stamps, one
// changed since, one never tagged, a hidden one and a name that is not UTF-8.

#include "window/report_view.h"
#include "window/view_controller.h"

#include "engine/run.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                    : QStringLiteral(QUELBY_BUILD_DIR "/window-screenshot.png");

    QTemporaryDir temporary;
    const QString folder = temporary.path() + QStringLiteral("/Photos");
    QDir().mkpath(folder + QStringLiteral("/2024/Holiday"));
    const char* names[] = {"2024/Holiday/beach.jpg", "2024/Holiday/mountains.jpg",
                           "2024/notes.txt", ".catalogue", "scan-0001.png"};
    for (const char* name : names) {
        writeFile(folder + QLatin1Char('/') + QLatin1String(name),
                  QByteArray("contents of ") + name);
    }

    quelby::RunOptions tag;
    tag.operation = quelby::Operation::tag;
    tag.folder = QFile::encodeName(folder).toStdString();
    tag.timeStamps = true;
    tag.backEnd = quelby::platformDigestBackEnd();
    quelby::RunObserver quiet;
    quelby::walkFolder(tag, quiet);
    writeFile(folder + QStringLiteral("/2024/notes.txt"), "changed since it was tagged");
    writeFile(folder + QStringLiteral("/new report.pdf"), "never tagged");
    // QFile::decodeName cannot carry bytes that are not UTF-8, so this name is made with open().
    const QByteArray latin1Name = QFile::encodeName(folder) + "/caf\xE9 menu.txt";
    const int latin1 = ::open(latin1Name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (latin1 >= 0) {
        ::close(latin1);
    }

    ViewController window;
    window.resize(1120, 420);
    window.verboseCheckbox->setChecked(true);
    window.bufferTextbox->setText(QStringLiteral("64"));
    window.show();
    window.computeRealBufferSize();
    window.startRun(quelby::Operation::check, 1, folder);
    QElapsedTimer patience;
    patience.start();
    while (window.runsUnderWay() > 0 && patience.elapsed() < 30000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    window.outputTextbox->setFocus();
    QApplication::processEvents();
    if (!window.grab().save(output)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
