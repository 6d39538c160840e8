#include "window/user_timers.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitPrefix = QStringLiteral("quelby-scrub@");
const QString kPeriodFile = QStringLiteral("period.conf");
const QByteArray kEveryKey = "Environment=QUELBY_EVERY=";

bool keptAsIs(unsigned char byte, bool first)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == ':' || byte == '_' || (byte == '.' && !first);
}

QString timerUnit(const std::string& folder)
{
    return kUnitPrefix + timerInstance(folder) + QStringLiteral(".timer");
}

} // namespace

QString timerInstance(const std::string& folder)
{
    // Slashes at either end and doubled ones say nothing about the folder.
    std::vector<std::string> parts;
    std::string part;
    for (const char byte : folder + "/") {
        if (byte != '/') {
            part += byte;
        } else if (!part.empty()) {
            parts.push_back(std::exchange(part, {}));
        }
    }
    if (parts.empty()) {
        return QStringLiteral("-");
    }
    QString instance;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index > 0) {
            instance += QLatin1Char('-');
        }
        bool first = index == 0;
        for (const char byte : parts[index]) {
            const auto value = static_cast<unsigned char>(byte);
            instance += keptAsIs(value, first)
                            ? QString(QLatin1Char(byte))
                            : QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
            first = false;
        }
    }
    return instance;
}

std::optional<std::string> folderOfInstance(const QString& instance)
{
    if (instance == QStringLiteral("-")) {
        return "/";
    }
    const QByteArray text = instance.toLatin1();
    std::string folder = "/";
    for (qsizetype index = 0; index < text.size(); ++index) {
        const char byte = text[index];
        if (byte == '-') {
            folder += '/';
        } else if (byte == '\\' && index + 3 < text.size() && text[index + 1] == 'x') {
            bool valid = false;
            const int value = text.mid(index + 2, 2).toInt(&valid, 16);
            if (!valid) {
                return std::nullopt;
            }
            folder += static_cast<char>(value);
            index += 3;
        } else {
            folder += byte;
        }
    }
    return folder;
}

SystemdUserTimers::SystemdUserTimers(QDBusConnection bus, QString configFolder)
    : bus_(std::move(bus)), configFolder_(std::move(configFolder))
{
}

SystemdUserTimers SystemdUserTimers::forSession()
{
    return SystemdUserTimers(
        QDBusConnection::sessionBus(),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/systemd/user"));
}

std::optional<QString> SystemdUserTimers::unavailableReason()
{
    if (!bus_.isConnected()) {
        return QObject::tr("Needs the systemd user manager: there is no session bus.");
    }
    const auto registered = bus_.interface()->isServiceRegistered(kService);
    if (!registered.isValid() || !registered.value()) {
        return QObject::tr("Needs the systemd user manager, which this session does not run.");
    }
    return std::nullopt;
}

std::vector<std::string> SystemdUserTimers::scheduledFolders()
{
    std::vector<std::string> folders;
    const QDir wants(configFolder_ + QStringLiteral("/timers.target.wants"));
    const QStringList names =
        wants.entryList({kUnitPrefix + QStringLiteral("*.timer")}, QDir::Files | QDir::System,
                        QDir::Name);
    for (const QString& name : names) {
        const QString instance =
            name.mid(kUnitPrefix.size(), name.size() - kUnitPrefix.size() - 6);
        if (auto folder = folderOfInstance(instance)) {
            folders.push_back(std::move(*folder));
        }
    }
    return folders;
}

QString SystemdUserTimers::dropInFolder(const std::string& folder) const
{
    return configFolder_ + QLatin1Char('/') + kUnitPrefix + timerInstance(folder) +
           QStringLiteral(".service.d");
}

std::optional<int> SystemdUserTimers::periodDays(const std::string& folder)
{
    QFile file(dropInFolder(folder) + QLatin1Char('/') + kPeriodFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(kEveryKey)) {
            bool valid = false;
            const int days = line.mid(kEveryKey.size()).trimmed().toInt(&valid);
            if (valid && days > 0) {
                return days;
            }
        }
    }
    return std::nullopt;
}

std::expected<void, QString> SystemdUserTimers::call(const QString& method,
                                                     const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kManager, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus_.call(message);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return std::unexpected(
            QObject::tr("The systemd user manager refused %1: %2").arg(method, reply.errorMessage()));
    }
    return {};
}

std::expected<void, QString> SystemdUserTimers::schedule(const std::string& folder, int everyDays)
{
    const QString dropIn = dropInFolder(folder);
    if (!QDir().mkpath(dropIn)) {
        return std::unexpected(QObject::tr("Cannot make the folder %1").arg(dropIn));
    }
    QSaveFile period(dropIn + QLatin1Char('/') + kPeriodFile);
    const QByteArray text = "[Service]\n" + kEveryKey + QByteArray::number(everyDays) + "\n";
    if (!period.open(QIODevice::WriteOnly) || period.write(text) != text.size() ||
        !period.commit()) {
        return std::unexpected(
            QObject::tr("Cannot write %1: %2").arg(period.fileName(), period.errorString()));
    }
    const QString unit = timerUnit(folder);
    for (const auto& [method, arguments] :
         {std::pair<QString, QVariantList>{QStringLiteral("Reload"), {}},
          {QStringLiteral("EnableUnitFiles"), {QStringList{unit}, false, true}},
          {QStringLiteral("StartUnit"), {unit, QStringLiteral("replace")}}}) {
        if (auto done = call(method, arguments); !done) {
            return done;
        }
    }
    return {};
}

std::expected<void, QString> SystemdUserTimers::unschedule(const std::string& folder)
{
    const QString unit = timerUnit(folder);
    if (auto done = call(QStringLiteral("DisableUnitFiles"), {QStringList{unit}, false}); !done) {
        return done;
    }
    if (auto done = call(QStringLiteral("StopUnit"), {unit, QStringLiteral("replace")}); !done) {
        return done;
    }
    const QString dropIn = dropInFolder(folder);
    QFile::remove(dropIn + QLatin1Char('/') + kPeriodFile);
    // Only when nothing else was put there: rmdir refuses a folder with files.
    QDir().rmdir(dropIn);
    return call(QStringLiteral("Reload"), {});
}
