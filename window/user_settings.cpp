#include "window/user_settings.h"

#include <QSettings>

std::unique_ptr<QSettings> openUserSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("mossgroveware"), QStringLiteral("Quelby"));
}
