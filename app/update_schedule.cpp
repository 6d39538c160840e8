#include "app/update_schedule.h"

#include <QSettings>
#include <QTimeZone>

double secondsSinceReferenceDate(const QDateTime& time)
{
    static const QDateTime referenceDate(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    return static_cast<double>(referenceDate.msecsTo(time)) / 1000.0;
}

bool scheduleUpdateCheck(QSettings& settings, const UpdateClock& now,
                         const std::function<void()>& checkForUpdate)
{
    const bool noUpdateCheck = settings.value(kNoUpdateCheckKey, false).toBool();
    const double lastCheck = settings.value(kDateLastUpdateCheckKey, 0.0).toDouble();
    double interval = settings.value(kUpdateCheckIntervalKey, 0.0).toDouble();
    if (interval < 1.0) {
        interval = kDefaultUpdateCheckInterval;
    }

    const double elapsed = secondsSinceReferenceDate(now()) - lastCheck;
    const bool due = elapsed > interval && !noUpdateCheck;
    if (due) {
        checkForUpdate();
        // Stored once the fetch has started, whatever it brings later.
        settings.setValue(kDateLastUpdateCheckKey, secondsSinceReferenceDate(now()));
    }
    settings.setValue(kNoUpdateCheckKey, noUpdateCheck);
    settings.setValue(kUpdateCheckIntervalKey, interval);
    return due;
}
