#include "window/finish_notifier.h"

#include "window/run_names.h"

#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

using quelby::Operation;

namespace {

QString number(std::int64_t value)
{
    return figuresLocale().toString(value);
}

QString files(std::int64_t count)
{
    return count == 1 ? QObject::tr("1 file") : QObject::tr("%1 files").arg(number(count));
}

QString findings(const quelby::RunOptions& options, const quelby::RunState& state)
{
    if (state.stopped) {
        return QObject::tr("stopped after %1").arg(files(state.totalCount));
    }
    QStringList parts;
    switch (options.operation) {
    case Operation::check: {
        if (state.mismatchedCount > 0) {
            parts.append(state.mismatchedCount == 1
                             ? QObject::tr("1 file differs")
                             : QObject::tr("%1 files differ").arg(number(state.mismatchedCount)));
        }
        if (state.noDigestCount > 0) {
            parts.append(QObject::tr("%1 had no digest").arg(number(state.noDigestCount)));
        }
        const std::int64_t failed = state.failureCount - state.mismatchedCount;
        if (failed > 0) {
            parts.append(QObject::tr("%1 could not be checked").arg(number(failed)));
        }
        if (parts.isEmpty()) {
            return state.totalCount == 0
                       ? QObject::tr("no files to check")
                       : QObject::tr("all %1 matched").arg(files(state.totalCount));
        }
        break;
    }
    case Operation::tag:
        if (state.failureCount > 0) {
            return QObject::tr("%1 of %2 could not be tagged")
                .arg(number(state.failureCount), files(state.totalCount));
        }
        return state.totalCount == 0 ? QObject::tr("no files to tag")
                                     : QObject::tr("all %1 tagged").arg(files(state.totalCount));
    case Operation::retag:
        if (state.retaggedCount > 0) {
            parts.append(QObject::tr("%1 retagged").arg(number(state.retaggedCount)));
        }
        if (state.firstTagCount > 0) {
            parts.append(
                QObject::tr("%1 tagged for the first time").arg(number(state.firstTagCount)));
        }
        if (state.failureCount > 0) {
            parts.append(QObject::tr("%1 could not be retagged").arg(number(state.failureCount)));
        }
        if (parts.isEmpty()) {
            return state.totalCount == 0
                       ? QObject::tr("no files to retag")
                       : QObject::tr("all %1 matched").arg(files(state.totalCount));
        }
        break;
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

void DesktopNotifier::notify(const QString& text)
{
    const QDBusConnection connection = connection_.value_or(QDBusConnection::sessionBus());
    if (!connection.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    call << QStringLiteral("Quelby") << 0u << QStringLiteral("co.mossgroveware.Quelby") << text
         << QString() << QStringList() << QVariantMap() << -1;
    // No answer is awaited: a desktop without the service answers with an error nobody needs.
    connection.send(call);
}

QString finishedRunText(const quelby::RunOptions& options, const quelby::RunState& state)
{
    return QObject::tr("%1 of %2: %3")
        .arg(operationName(options.operation), folderName(options.folder),
             findings(options, state));
}
