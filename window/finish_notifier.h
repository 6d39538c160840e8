#pragma once

// Telling the desktop that a long run has ended, for a user who went on with
// other work: one sentence of what it found, through the freedesktop
// notification service. A desktop without that service shows nothing, and
// nothing fails.

#include "engine/run/run.h"

#include <QDBusConnection>
#include <QString>
#include <optional>

class FinishNotifier
{
public:
    virtual ~FinishNotifier() = default;
    virtual void notify(const QString& text) = 0;
};

// Calls org.freedesktop.Notifications.Notify without waiting for the answer.
class DesktopNotifier : public FinishNotifier
{
public:
    // Without a connection, the session bus at the time of each notification.
    DesktopNotifier() = default;
    explicit DesktopNotifier(const QDBusConnection& connection) : connection_(connection) {}

    void notify(const QString& text) override;

private:
    std::optional<QDBusConnection> connection_;
};

// "Check of Photos: 3 files differ, 2 had no digest", "Check of Photos: all 12,345 files
// matched", and the like for Tag, Retag and a stopped run.
QString finishedRunText(const quelby::RunOptions& options, const quelby::RunState& state);
