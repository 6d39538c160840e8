#include "window/buffer_size.h"

#include <cmath>

std::optional<double> bufferEntryNumber(const QString& entry, const QLocale& locale)
{
    const QString trimmed = entry.trimmed();
    bool ok = false;
    double value = locale.toDouble(trimmed, &ok);
    if (!ok) {
        value = QLocale::c().toDouble(trimmed, &ok);
    }
    if (!ok || std::isnan(value)) {
        return std::nullopt;
    }
    return value;
}

BufferSize computeRealBufferSize(const QString& entry, int unitIndex, const QLocale& locale)
{
    const std::int64_t unitBytes = unitIndex >= 1 ? 1024 * 1024 : 1024;
    const std::int64_t mostUnits = kLargestBufferSize / unitBytes;
    std::int64_t units = 1;
    if (const auto number = bufferEntryNumber(entry, locale)) {
        const double whole = std::trunc(*number);
        if (whole >= static_cast<double>(mostUnits)) {
            units = mostUnits;
        } else if (whole >= 1.0) {
            units = static_cast<std::int64_t>(whole);
        }
    }
    return {units, units * unitBytes};
}

QString storedBufferEntry(const QString& entry, const QLocale& locale)
{
    const auto number = bufferEntryNumber(entry, locale);
    if (!number) {
        return entry;
    }
    if (std::trunc(*number) == *number && std::fabs(*number) < 9.0e15) {
        return QString::number(static_cast<std::int64_t>(*number));
    }
    return QString::number(*number, 'g', QLocale::FloatingPointShortest);
}

bool isRefusedBufferEntry(const QString& entry, const QLocale& locale)
{
    const auto number = bufferEntryNumber(entry, locale);
    return number && std::trunc(*number) < 1.0;
}

QValidator::State BufferEntryValidator::validate(QString& input, int&) const
{
    return isRefusedBufferEntry(input, locale()) ? Invalid : Acceptable;
}
