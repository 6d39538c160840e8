// When the update check runs: at most once per interval, never when switched
// off. Three settings keys hold the state between launches:
//   noUpdateCheck        bool    true switches the check off; stored back as read. Absent
//                                until the user has answered the first start's question
//   updateCheckInt       double  seconds between checks; below 1.0 means 43200 (12 hours)
//   dateLastUpdateCheck  double  seconds since 2001-01-01T00:00:00Z of the last start
#pragma once

#include <QDateTime>
#include <functional>

class QSettings;

inline constexpr char kNoUpdateCheckKey[] = "noUpdateCheck";
inline constexpr char kUpdateCheckIntervalKey[] = "updateCheckInt";
inline constexpr char kDateLastUpdateCheckKey[] = "dateLastUpdateCheck";
inline constexpr double kDefaultUpdateCheckInterval = 43200.0;

using UpdateClock = std::function<QDateTime()>;

// Seconds from 2001-01-01T00:00:00Z, the epoch of dateLastUpdateCheck, to time.
double secondsSinceReferenceDate(const QDateTime& time);

// Runs checkForUpdate when a check is due, then stores the three keys back.
// Returns whether checkForUpdate ran.
bool scheduleUpdateCheck(QSettings& settings, const UpdateClock& now,
                         const std::function<void()>& checkForUpdate);
