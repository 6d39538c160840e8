#include "window/run_progress.h"

#include "engine/text/display_text.h"
#include "window/run_names.h"

#include <algorithm>
#include <array>
#include <time.h>

namespace {

constexpr std::int64_t kLeastInterval = 100'000'000; // nanoseconds: ten rows a second at most
constexpr std::size_t kRowsShown = 3;

std::int64_t coarseNow()
{
    timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
    clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

QString operationWord(quelby::Operation operation)
{
    switch (operation) {
    case quelby::Operation::check:
        return QObject::tr("Checking");
    case quelby::Operation::tag:
        return QObject::tr("Tagging");
    case quelby::Operation::retag:
        return QObject::tr("Retagging");
    }
    return {};
}

// Decimal units, as disks are sold: "512 B", "3.2 GB", "410 MB/s".
QString amount(double value, const QString& unit, const QLocale& locale)
{
    static const std::array<const char*, 6> prefixes{"", "k", "M", "G", "T", "P"};
    std::size_t prefix = 0;
    while (value >= 999.5 && prefix + 1 < prefixes.size()) {
        value /= 1000.0;
        ++prefix;
    }
    const int decimals = prefix == 0 || value >= 99.95 ? 0 : 1;
    return locale.toString(value, 'f', decimals) + QLatin1Char(' ') +
           QLatin1String(prefixes[prefix]) + unit;
}

QString duration(double seconds)
{
    const auto whole = static_cast<qint64>(seconds);
    const qint64 hours = whole / 3600;
    const qint64 minutes = whole / 60 % 60;
    const QString secondsText = QStringLiteral("%1").arg(whole % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secondsText);
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(secondsText);
}

QString moreRunsText(std::size_t count)
{
    return count == 1 ? QObject::tr("and 1 more run") : QObject::tr("and %1 more runs").arg(count);
}

const QString kSeparator = QStringLiteral(" \u00B7 ");

} // namespace

ProgressThrottle::ProgressThrottle() : lastSent_(coarseNow()) {}

bool ProgressThrottle::due()
{
    const std::int64_t now = coarseNow();
    if (now - lastSent_ < kLeastInterval) {
        return false;
    }
    lastSent_ = now;
    return true;
}

QString runProgressText(quelby::Operation operation, const QString& shownFolder,
                        std::int64_t filesDone, std::int64_t bytesDone, double seconds,
                        const QString& path, const QLocale& locale)
{
    const double speed = seconds > 0 ? static_cast<double>(bytesDone) / seconds : 0.0;
    QString text =
        operationWord(operation) + QLatin1Char(' ') + shownFolder + QStringLiteral(" \u2014 ") +
        (filesDone == 1 ? QObject::tr("1 file")
                        : QObject::tr("%1 files").arg(locale.toString(filesDone))) +
        kSeparator + amount(static_cast<double>(bytesDone), QStringLiteral("B"), locale) +
        kSeparator + amount(speed, QStringLiteral("B/s"), locale) + kSeparator + duration(seconds);
    if (!path.isEmpty()) {
        text += kSeparator + path;
    }
    return text;
}

RunProgressLine::RunProgressLine(QWidget* parent) : QLabel(parent)
{
    setAccessibleName(tr("Progress"));
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    // A long path is shortened to the width there is; it never widens the window.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(1);
    hide();
}

void RunProgressLine::runStarted(const void* run, quelby::Operation operation,
                                 const std::string& folder)
{
    Row row{run, operation, folderName(folder), quelby::escapedForReport(folder) + '/', {}, 0, 0,
            0,   {}};
    row.started.start();
    rows_.insert(rows_.begin(), std::move(row));
    render();
    show();
}

void RunProgressLine::showFigures(const void* run, ProgressFigures figures)
{
    const auto row = std::ranges::find(rows_, run, &Row::run);
    if (row == rows_.end()) {
        return;
    }
    row->seconds = static_cast<double>(row->started.elapsed()) / 1000.0;
    row->filesDone = figures.filesDone;
    row->bytesDone = figures.bytesDone;
    // Between files the walk names none; the last one named stays until the next is read.
    if (!figures.currentPath.empty()) {
        std::string_view path = figures.currentPath;
        if (path.starts_with(row->escapedFolder)) {
            path.remove_prefix(row->escapedFolder.size());
        }
        row->path = QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size()));
    }
    render();
}

void RunProgressLine::runEnded(const void* run)
{
    std::erase_if(rows_, [run](const Row& row) { return row.run == run; });
    render();
    setVisible(!rows_.empty());
}

QString RunProgressLine::rowText(const Row& row, int pathWidth) const
{
    const QLocale locale = figuresLocale(this->locale());
    QString path = row.path;
    if (pathWidth >= 0) {
        const QString figures = runProgressText(row.operation, row.folderName, row.filesDone,
                                                row.bytesDone, row.seconds, {}, locale);
        const int room = pathWidth - fontMetrics().horizontalAdvance(figures + kSeparator);
        path = fontMetrics().elidedText(path, Qt::ElideMiddle, std::max(room, 0));
    }
    return runProgressText(row.operation, row.folderName, row.filesDone, row.bytesDone, row.seconds,
                           path, locale);
}

QString RunProgressLine::fullText() const
{
    QStringList lines;
    for (std::size_t index = 0; index < rows_.size() && index < kRowsShown; ++index) {
        lines.append(rowText(rows_[index], -1));
    }
    if (rows_.size() > kRowsShown) {
        lines.append(moreRunsText(rows_.size() - kRowsShown));
    }
    return lines.join(QLatin1Char('\n'));
}

void RunProgressLine::render()
{
    QStringList lines;
    const int width = contentsRect().width();
    for (std::size_t index = 0; index < rows_.size() && index < kRowsShown; ++index) {
        lines.append(rowText(rows_[index], width));
    }
    if (rows_.size() > kRowsShown) {
        lines.append(moreRunsText(rows_.size() - kRowsShown));
    }
    setText(lines.join(QLatin1Char('\n')));
    setAccessibleDescription(fullText());
}

void RunProgressLine::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    render();
}
