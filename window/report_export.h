#pragma once

// The exported report: the text as shown, a footer naming the run's start,
// and the file name proposed for it.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <expected>
#include <optional>
#include <string_view>

// "Quelby_" + the run's start as 2024-03-05T14_07_09Z (UTC), or "undated", + ".text".
QString exportFileName(const std::optional<QDateTime>& runDate);

// The report's text followed, when a run has started, by
// "\nChecked by Quelby at 2024-03-05 14:07:09 +0000\n", and when the text holds only the
// problems, by a last line that says so.
QByteArray exportedText(std::string_view reportText, const std::optional<QDateTime>& runDate,
                        bool problemsOnly = false);

// Replaces the file only once the new contents are complete; a file that is writable in a
// folder that is not is written in place. The error text on failure.
std::expected<void, QString> writeExport(const QString& path, const QByteArray& contents);
