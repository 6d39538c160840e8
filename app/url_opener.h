// Opening an address in the user's web browser, behind a seam so tests see
// which address would open without starting a browser.
#pragma once

#include <QUrl>

class UrlOpener
{
public:
    virtual ~UrlOpener() = default;
    virtual void open(const QUrl& address) = 0;
};

class DesktopUrlOpener : public UrlOpener
{
public:
    void open(const QUrl& address) override;
};
