#pragma once

// Check regularly: a folder's quelby-scrub@INSTANCE.timer, turned on and off
// through the systemd user manager on the session bus, with its period in a
// drop-in of the service (quelby-scrub@INSTANCE.service.d/period.conf, which
// sets QUELBY_EVERY) under the user's systemd configuration. Which folders
// are scheduled is read from the timers.target.wants folder there, where
// enabling a timer links it: no bus is needed to list them.

#include <QDBusConnection>
#include <QString>

#include <expected>
#include <optional>
#include <string>
#include <vector>

// INSTANCE for a folder, as systemd-escape --path writes it, and back.
QString timerInstance(const std::string& folder);
std::optional<std::string> folderOfInstance(const QString& instance);

class UserTimers {
public:
    virtual ~UserTimers() = default;
    // Why schedules cannot be changed here, in words; none when they can.
    virtual std::optional<QString> unavailableReason() = 0;
    // The folders with an enabled timer.
    virtual std::vector<std::string> scheduledFolders() = 0;
    // The period a folder's drop-in sets; none without one.
    virtual std::optional<int> periodDays(const std::string& folder) = 0;
    // The error is the manager's or the file system's, in words.
    virtual std::expected<void, QString> schedule(const std::string& folder, int everyDays) = 0;
    virtual std::expected<void, QString> unschedule(const std::string& folder) = 0;
};

class SystemdUserTimers : public UserTimers {
public:
    // configFolder is the user's systemd configuration (~/.config/systemd/user).
    SystemdUserTimers(QDBusConnection bus, QString configFolder);
    // The session bus and $XDG_CONFIG_HOME/systemd/user.
    static SystemdUserTimers forSession();

    std::optional<QString> unavailableReason() override;
    std::vector<std::string> scheduledFolders() override;
    std::optional<int> periodDays(const std::string& folder) override;
    std::expected<void, QString> schedule(const std::string& folder, int everyDays) override;
    std::expected<void, QString> unschedule(const std::string& folder) override;

private:
    std::expected<void, QString> call(const QString& method, const QVariantList& arguments);
    QString dropInFolder(const std::string& folder) const;

    QDBusConnection bus_;
    QString configFolder_;
};
