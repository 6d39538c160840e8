#include "window/run_names.h"

#include <QFile>
#include <QObject>

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

QString operationName(quelby::Operation operation)
{
    switch (operation) {
    case quelby::Operation::check:
        return QObject::tr("Check");
    case quelby::Operation::tag:
        return QObject::tr("Tag");
    case quelby::Operation::retag:
        return QObject::tr("Retag");
    }
    return {};
}
