#include "window/run_names.h"

#include <QFile>

QString folderName(const std::string& folder)
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(folder));
    const QString name = path.section(QLatin1Char('/'), -1);
    return name.isEmpty() ? QStringLiteral("/") : name;
}

QLocale figuresLocale(QLocale locale)
{
    if (locale.language() == QLocale::C) {
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    }
    locale.setNumberOptions({});
    return locale;
}
