#include "app/url_opener.h"

#include <QDesktopServices>

void DesktopUrlOpener::open(const QUrl& address)
{
    // A browser that fails to start has nothing to tell the user beyond what
    // the desktop already shows.
    QDesktopServices::openUrl(address);
}
