#include "app/update_check.h"

#include "window/alert_presenter.h"
#include "app/update_version.h"
#include "app/url_opener.h"
#include "shell_config.h"

#include <QCoreApplication>
#include <QMenu>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>
#include <optional>
#include <plist/plist.h>

namespace {

using PlistOwner = std::unique_ptr<void, decltype(&plist_free)>;

std::optional<QString> stringItem(plist_t dictionary, const char* key)
{
    plist_t item = plist_dict_get_item(dictionary, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

bool isAcceptedMimeType(const QByteArray& contentType)
{
    // Only the media type counts, not parameters such as "; charset=utf-8"; media types are
    // case-insensitive.
    const QByteArray mimeType = contentType.split(';').constFirst().trimmed().toLower();
    return mimeType == "text/xml" || mimeType == "text/plain";
}

// The parser's binary format recurses once per nesting level, so a small hostile body can
// exhaust the stack; the list is only ever served as XML.
bool looksLikeXml(const QByteArray& body)
{
    const QByteArray start = body.trimmed().left(6);
    return start.startsWith("<?xml") || start.startsWith("<plist");
}

} // namespace

UpdateSite shippedUpdateSite()
{
    return {QUrl(QString::fromUtf8(quelby::kUpdateListAddress)),
            QString::fromUtf8(quelby::kDownloadPrefix)};
}

struct UpdateCheck::Fetch
{
    QString runningVersion;
    QByteArray body;
    bool oversized = false;
};

UpdateCheck::UpdateCheck(UpdateSite site, AlertPresenter& alerts, UrlOpener& urls, QObject* parent)
    : QObject(parent), site_(std::move(site)), alerts_(alerts), urls_(urls)
{
}

void UpdateCheck::setHelpMenu(QMenu* helpMenu)
{
    helpMenu_ = helpMenu;
}

bool UpdateCheck::checkForUpdate()
{
    const QString runningVersion = QCoreApplication::applicationVersion();
    if (runningVersion.isEmpty()) {
        showErrorAlert(QStringLiteral("Can't check for updates:\nNo app version string found."));
        return false;
    }

    QNetworkRequest request(site_.listAddress);
    request.setTransferTimeout(transferTimeoutMs_);
    QNetworkReply* reply = network_.get(request);
    auto fetch = std::make_shared<Fetch>();
    fetch->runningVersion = runningVersion;

    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, fetch] {
        // A list announced as too large is not worth fetching at all.
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.isValid() && announced.toLongLong() > kMaxListSize) {
            fetch->oversized = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, fetch] {
        if (fetch->oversized) {
            return;
        }
        fetch->body += reply->read(kMaxListSize + 1 - fetch->body.size());
        if (fetch->body.size() > kMaxListSize) {
            fetch->oversized = true;
            fetch->body.clear();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, fetch] {
        reply->deleteLater();
        validateUpdateResponse(reply, *fetch);
        emit finished();
    });
    return true;
}

void UpdateCheck::validateUpdateResponse(QNetworkReply* reply, const Fetch& fetch)
{
    // Every rejection here is silent: a failed fetch is no news for the user.
    if (fetch.oversized || reply->error() != QNetworkReply::NoError) {
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        return;
    }
    const int statusCode = status.toInt();
    if (statusCode < 200 || statusCode > 299) {
        return;
    }
    if (!isAcceptedMimeType(reply->rawHeader("Content-Type"))) {
        return;
    }
    processUpdateList(fetch.body, fetch.runningVersion);
}

void UpdateCheck::processUpdateList(const QByteArray& body, const QString& runningVersion)
{
    const QString listError = QStringLiteral("Error in update Property List.");
    plist_t parsed = nullptr;
    if (body.size() <= kMaxListSize && looksLikeXml(body)) {
        plist_from_memory(body.constData(), static_cast<uint32_t>(body.size()), &parsed);
    }
    const PlistOwner root(parsed, &plist_free);
    if (root == nullptr || plist_get_node_type(root.get()) != PLIST_ARRAY) {
        showErrorAlert(listError);
        return;
    }
    const uint32_t entryCount = plist_array_get_size(root.get());
    if (entryCount == 0) {
        showErrorAlert(QStringLiteral("Update Property List has no entries."));
        return;
    }

    std::optional<QString> offeredVersion;
    QUrl offeredDownload;
    for (uint32_t index = 0; index < entryCount; ++index) {
        plist_t entry = plist_array_get_item(root.get(), index);
        if (plist_get_node_type(entry) != PLIST_DICT) {
            continue;
        }
        if (stringItem(entry, "AppName") != QString::fromLatin1(kOwnAppName)) {
            continue;
        }
        const std::optional<QString> version = stringItem(entry, "Version");
        const std::optional<QString> link = stringItem(entry, "URL");
        if (!version || !link) {
            showErrorAlert(listError);
            return;
        }
        if (!isWellFormedVersion(*version)) {
            continue;
        }
        markChecked();
        if (*version == runningVersion) {
            continue;
        }
        // A link that merely contains the prefix (say as a query parameter of
        // another site) would send the user elsewhere.
        const QUrl download(*link, QUrl::StrictMode);
        if (!link->startsWith(site_.downloadPrefix) || !download.isValid()) {
            continue;
        }
        if (!offeredVersion || compareVersions(*version, *offeredVersion) > 0) {
            offeredVersion = version;
            offeredDownload = download;
        }
    }
    if (!offeredVersion) {
        return;
    }
    const Alert offer{
        Alert::Style::informational,
        QStringLiteral("An update to this app to version ") + *offeredVersion +
            QStringLiteral(" is available."),
        QStringLiteral("You are currently running Quelby version ") + runningVersion +
            QStringLiteral(".\nPlease choose whether to download this update now in your "
                           "default browser."),
        {QStringLiteral("Ignore"), QStringLiteral("Download")}};
    if (alerts_.run(offer) == 1) {
        urls_.open(offeredDownload);
    }
}

void UpdateCheck::showErrorAlert(const QString& text)
{
    alerts_.run({Alert::Style::critical,
                  QStringLiteral("An error occurred:"),
                  text,
                  {QStringLiteral("OK")}});
}

void UpdateCheck::markChecked()
{
    if (helpMenu_ == nullptr) {
        return;
    }
    for (QAction* item : helpMenu_->actions()) {
        if (item->text() == QLatin1String(kUpdateNotCheckedTitle)) {
            item->setCheckable(true);
            item->setChecked(true);
            item->setText(QString::fromLatin1(kCheckedForUpdateTitle));
            return;
        }
    }
}
