#include "window/report_export.h"

#include <QSaveFile>

QString exportFileName(const std::optional<QDateTime>& runDate)
{
    const QString datePart =
        runDate ? runDate->toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH_mm_ss'Z'"))
                : QStringLiteral("undated");
    return QStringLiteral("Quelby_") + datePart + QStringLiteral(".text");
}

QByteArray exportedText(std::string_view reportText, const std::optional<QDateTime>& runDate,
                        bool problemsOnly)
{
    QByteArray text(reportText.data(), static_cast<qsizetype>(reportText.size()));
    if (runDate || problemsOnly) {
        text += '\n';
    }
    if (runDate) {
        text += "Checked by Quelby at ";
        text += runDate->toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8();
        text += " +0000\n";
    }
    if (problemsOnly) {
        text += "Only problems are shown in this export.\n";
    }
    return text;
}

std::expected<void, QString> writeExport(const QString& path, const QByteArray& contents)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        return std::unexpected(file.errorString());
    }
    if (file.write(contents) != contents.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return std::unexpected(error);
    }
    if (!file.commit()) {
        return std::unexpected(file.errorString());
    }
    return {};
}
