// What the progress line costs a walk: a Check over 100,000 tagged files of
// 4 KiB with the window's default 1 KB buffer, through an observer that does
// what the window's does (keeps the lines, answers stop requests), once
// without and once with the progress half (ProgressThrottle asked between
// every two reads, figures sent through a queued call to a RunProgressLine on
// the main thread). Rounds alternate; the medians are compared.
//
// The tree is made once under $TMPDIR/quelby-bench-window and kept for later
// runs (about 400 MiB); remove it by hand.

#include "engine/operations/walk.h"
#include "engine/read/file_digest.h"
#include "engine/run/run.h"
#include "window/run_progress.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;
constexpr int kRounds = 7;

class WindowLikeObserver : public quelby::RunObserver
{
public:
    WindowLikeObserver(RunProgressLine* line, bool withProgress)
        : line_(line), withProgress_(withProgress)
    {
    }
    void entryDone(const quelby::EntryOutcome& outcome) override { pendingText += outcome.lines; }
    bool stopRequested() override { return stop_.load(std::memory_order_relaxed); }
    void progress(const quelby::RunProgress& progress) override
    {
        if (withProgress_ && throttle_.due()) {
            ++sent;
            QMetaObject::invokeMethod(
                line_,
                [line = line_, run = &stop_,
                 figures = ProgressFigures{progress.filesDone, progress.bytesDone,
                                           std::string(progress.currentPath)}]() mutable {
                    line->showFigures(run, std::move(figures));
                },
                Qt::QueuedConnection);
        }
    }

    std::string pendingText;
    int sent = 0;
    const std::atomic<bool>& stopFlag() const { return stop_; }

private:
    RunProgressLine* line_;
    bool withProgress_;
    std::atomic<bool> stop_{false};
    ProgressThrottle throttle_;
};

std::string makeTree()
{
    const QString root = QDir::tempPath() + QStringLiteral("/quelby-bench-window");
    const QString done = root + QStringLiteral("/.made");
    if (QFile::exists(done)) {
        return QFile::encodeName(root + QStringLiteral("/tree")).toStdString();
    }
    std::printf("making %d files of 4 KiB under %s …\n", kFolders * kFilesPerFolder,
                qPrintable(root));
    QDir(root).removeRecursively();
    QByteArray contents(4096, 'q');
    for (int folder = 0; folder < kFolders; ++folder) {
        const QString path = root + QStringLiteral("/tree/%1").arg(folder, 3, 10, QChar('0'));
        QDir().mkpath(path);
        for (int file = 0; file < kFilesPerFolder; ++file) {
            QFile out(path + QStringLiteral("/f%1").arg(file, 4, 10, QChar('0')));
            contents[0] = static_cast<char>(file);
            if (!out.open(QIODevice::WriteOnly) || out.write(contents) != contents.size()) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(out.fileName()));
                std::exit(1);
            }
        }
    }
    quelby::RunOptions tag;
    tag.operation = quelby::Operation::tag;
    tag.folder = QFile::encodeName(root + QStringLiteral("/tree")).toStdString();
    tag.backEnd = quelby::platformDigestBackEnd();
    quelby::RunObserver quiet;
    quelby::walkFolder(tag, quiet);
    QFile(done).open(QIODevice::WriteOnly);
    return tag.folder;
}

double median(std::vector<double> values)
{
    std::ranges::sort(values);
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    const std::string folder = makeTree();

    RunProgressLine line;
    line.resize(800, 40);
    line.show();

    quelby::RunOptions check;
    check.operation = quelby::Operation::check;
    check.folder = folder;
    check.backEnd = quelby::platformDigestBackEnd();
    check.setBufferSize = 1;
    check.realBufferSize = 1024;

    // One warm-up walk brings the tree into the page cache.
    {
        WindowLikeObserver warm(&line, false);
        quelby::walkFolder(check, warm);
    }
    std::vector<double> without;
    std::vector<double> with;
    int sent = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (const bool withProgress : {false, true}) {
            WindowLikeObserver observer(&line, withProgress);
            line.runStarted(&observer.stopFlag(), check.operation, folder);
            QElapsedTimer timer;
            timer.start();
            // The walk runs on its own thread while the main thread waits for what it sends, as
            // the window's event loop does.
            QEventLoop loop;
            std::thread walk([&] {
                quelby::walkFolder(check, observer);
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            });
            loop.exec();
            walk.join();
            const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            QApplication::processEvents();
            line.runEnded(&observer.stopFlag());
            (withProgress ? with : without).push_back(seconds);
            sent = withProgress ? observer.sent : sent;
        }
    }
    const double plain = median(without);
    const double shown = median(with);
    std::printf("Check of %d files of 4 KiB, 1 KB buffer, median of %d rounds:\n",
                kFolders * kFilesPerFolder, kRounds);
    std::printf("  without the progress line: %.3f s\n", plain);
    std::printf("  with the progress line:    %.3f s (%d updates sent in the last round)\n", shown,
                sent);
    std::printf("  cost: %+.1f %% (target at most +3 %%)\n", (shown / plain - 1.0) * 100.0);
    return 0;
}
