// The check for a newer version. It fetches the update list, an XML property
// list whose root is an array of dictionaries, one per application:
//   AppName  string  "Quelby" marks our own entry; other entries are ignored
//   Version  string  a release (see update_version.h); one that is not well
//                    formed makes the entry broken
//   URL      string  its download link; offered only when it begins with the
//                    download-site prefix
// A body that is not XML, a root that is not an array, or our own entry
// without string Version and URL, is an error like a body that does not parse;
// elements that are not dictionaries, have no AppName or a broken Version are
// skipped, so another product's broken entry never nags our users. Of our own
// entries that differ from the running version, only the highest is offered.
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class AlertPresenter;
class QMenu;
class QNetworkReply;
class UrlOpener;

struct UpdateSite
{
    QUrl listAddress;
    QString downloadPrefix;
};

// The update list and download site this build was configured with.
UpdateSite shippedUpdateSite();

inline constexpr char kOwnAppName[] = "Quelby";
inline constexpr char kUpdateNotCheckedTitle[] = "Update not checked";
inline constexpr char kCheckedForUpdateTitle[] = "Checked for update";

class UpdateCheck : public QObject
{
    Q_OBJECT

public:
    // A larger list is dropped like a failed fetch. The real list is a few hundred bytes;
    // the limit also bounds how deep a hostile list can nest.
    static constexpr qint64 kMaxListSize = 64 * 1024;
    static constexpr int kDefaultTransferTimeoutMs = 30000;

    UpdateCheck(UpdateSite site, AlertPresenter& alerts, UrlOpener& urls,
                QObject* parent = nullptr);

    // The menu holding the "Update not checked" item; without one the item
    // simply isn't marked.
    void setHelpMenu(QMenu* helpMenu);
    void setTransferTimeout(int milliseconds) { transferTimeoutMs_ = milliseconds; }

    // Reads the running version and starts the fetch. finished() follows
    // unless this returns false (no fetch started).
    bool checkForUpdate();
    void processUpdateList(const QByteArray& body, const QString& runningVersion);
    void showErrorAlert(const QString& text);

signals:
    // A started check has come to its end, whatever it found.
    void finished();

private:
    struct Fetch;
    void validateUpdateResponse(QNetworkReply* reply, const Fetch& fetch);
    void markChecked();

    UpdateSite site_;
    AlertPresenter& alerts_;
    UrlOpener& urls_;
    QPointer<QMenu> helpMenu_;
    int transferTimeoutMs_ = kDefaultTransferTimeoutMs;
    QNetworkAccessManager network_;
};
