#pragma once

// The user's settings store, and the keys the main window keeps there.
//
// Every QSettings in the program is made by openUserSettings(), so the
// organisation, application and format are named once. Tests keep their
// settings apart from the user's with QStandardPaths::setTestModeEnabled(true)
// before the first call: on Linux the native store then lives under
// ~/.qttest/config instead of ~/.config.

#include <QString>
#include <QVariant>

#include <memory>

class QSettings;

std::unique_ptr<QSettings> openUserSettings();

// One window setting: its key and the value it reads as when absent.
struct WindowSetting {
    const char* key;
    QVariant absentValue;
};

namespace windowSettings {
// Index into the unit pop-up: 0 kilobytes, 1 megabytes.
inline const WindowSetting sizeUnits{"sizeUnits", 0};
// The buffer-size entry as text: a plain number, or what the user typed when it was none.
inline const WindowSetting bufferSize{"bufferSize", QStringLiteral("1")};
// The report's font size in points; outside kSmallestFontSize to kLargestFontSize, or not a
// finite number, it reads as kDefaultFontSize.
inline const WindowSetting fontSize{"fontSize", 0.0};
inline const WindowSetting verbose{"verbose", false};
inline const WindowSetting times{"times", false};
// View ▸ Show Problems Only.
inline const WindowSetting showProblemsOnly{"showProblemsOnly", false};
// Check says for each differing file whether it was edited or damaged, and Retag keeps the
// digests of files it does not judge edited.
inline const WindowSetting tellEditsFromDamage{"tellEditsFromDamage", false};
} // namespace windowSettings

inline constexpr double kDefaultFontSize = 12.0;
inline constexpr double kSmallestFontSize = 4.0;
inline constexpr double kLargestFontSize = 60.0;
