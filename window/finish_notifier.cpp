#include "window/finish_notifier.h"

#include "engine/text/display_text.h"
#include "window/run_names.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
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

QDBusMessage notificationCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                          QStringLiteral("/org/freedesktop/Notifications"),
                                          QStringLiteral("org.freedesktop.Notifications"), method);
}

// The sentence is the body where the service shows one, and there, where the service reads
// markup, "<", ">" and "&" are escaped so that a folder's name is never taken for markup.
// A service without a body shows the sentence as the summary, which is plain text.
QDBusMessage notifyCall(const QString& text, const QStringList& capabilities)
{
    QString summary = text;
    QString body;
    if (capabilities.contains(QStringLiteral("body"))) {
        summary = QStringLiteral("Quelby");
        body = capabilities.contains(QStringLiteral("body-markup")) ? text.toHtmlEscaped() : text;
    }
    QDBusMessage call = notificationCall(QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    call << QStringLiteral("Quelby") << 0u << QStringLiteral("co.mossgroveware.Quelby") << summary
         << body << QStringList() << QVariantMap() << -1;
    return call;
}

// The folder's last part as the report writes it: a line break, a direction mark or a byte
// that is not UTF-8 shows as its \x escape instead of acting on the text around it.
QString shownFolderName(const std::string& folder)
{
    const std::string name = folder.substr(folder.find_last_of('/') + 1);
    return name.empty() ? QStringLiteral("/")
                        : QString::fromStdString(quelby::escapedForReport(name));
}

} // namespace

void DesktopNotifier::notify(const QString& text)
{
    const QDBusConnection connection = connection_.value_or(QDBusConnection::sessionBus());
    if (!connection.isConnected()) {
        return;
    }
    // The service's capabilities first, without waiting for them: a desktop without the
    // service answers with an error, and then nothing is shown.
    auto* asked = new QDBusPendingCallWatcher(
        connection.asyncCall(notificationCall(QStringLiteral("GetCapabilities"))));
    QObject::connect(asked, &QDBusPendingCallWatcher::finished, asked,
                     [connection, text](QDBusPendingCallWatcher* answered) {
                         answered->deleteLater();
                         const QDBusPendingReply<QStringList> capabilities = *answered;
                         if (capabilities.isError()) {
                             return;
                         }
                         QDBusConnection(connection).send(notifyCall(text, capabilities.value()));
                     });
}

QString finishedRunText(const quelby::RunOptions& options, const quelby::RunState& state)
{
    return QObject::tr("%1 of %2: %3")
        .arg(operationName(options.operation), shownFolderName(options.folder),
             findings(options, state));
}
