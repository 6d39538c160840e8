// Stand-ins for the user at an alert and for the web browser.
#pragma once

#include "app/alert_presenter.h"
#include "app/url_opener.h"

#include <QList>
#include <QUrl>

// Records every alert and answers with the scripted button indexes in turn,
// then with the default button.
class ScriptedAlerts : public AlertPresenter
{
public:
    int run(const Alert& alert) override
    {
        shown.append(alert);
        return answers.isEmpty() ? 0 : answers.takeFirst();
    }

    QList<Alert> shown;
    QList<int> answers;
};

class RecordedUrls : public UrlOpener
{
public:
    void open(const QUrl& address) override { opened.append(address); }

    QList<QUrl> opened;
};
