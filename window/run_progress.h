#pragma once

// The line under the report that follows each run under way: operation and
// folder, files and bytes done, speed, time taken and the file being read.
//
// Its two halves live on two threads. A walk's observer asks ProgressThrottle
// between every two reads whether new figures are due, and sends a copy at
// most ten times a second through the window's one hop to the main thread;
// there RunProgressLine shows them. Nothing is shared between the two.

#include "engine/run/run.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

// What a walk sends: its figures at one moment.
struct ProgressFigures
{
    std::int64_t filesDone = 0;
    std::int64_t bytesDone = 0;
    std::string currentPath; // escaped, as the report shows it; empty between files
};

// Says yes at most once per interval. Asked between reads of one kilobyte, so it reads the
// kernel's coarse clock (a few nanoseconds, a few milliseconds fine) and nothing else.
class ProgressThrottle
{
public:
    ProgressThrottle();
    bool due();

private:
    std::int64_t lastSent_; // nanoseconds on the coarse monotonic clock
};

// One run's row: "Checking Photos — 12,345 files · 3.2 GB · 410 MB/s · 0:42 · 2024/dusk.jpg".
// The path is given relative to the run's folder.
QString runProgressText(quelby::Operation operation, const QString& shownFolder,
                        std::int64_t filesDone, std::int64_t bytesDone, double seconds,
                        const QString& path, const QLocale& locale);

class RunProgressLine : public QLabel
{
    Q_OBJECT

public:
    explicit RunProgressLine(QWidget* parent = nullptr);

    // run identifies the run until it ends; folder is its raw path.
    void runStarted(const void* run, quelby::Operation operation, const std::string& folder);
    void showFigures(const void* run, ProgressFigures figures);
    // The line disappears with the last run.
    void runEnded(const void* run);

    // Every row, newest run first, as assistive technology reads it.
    QString fullText() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Row
    {
        const void* run;
        quelby::Operation operation;
        QString folderName;
        std::string escapedFolder; // with its trailing slash, to shorten the current path
        QElapsedTimer started;
        double seconds = 0;
        std::int64_t filesDone = 0;
        std::int64_t bytesDone = 0;
        QString path;
    };

    QString rowText(const Row& row, int pathWidth) const;
    void render();

    std::vector<Row> rows_; // newest first
};
