#pragma once

// A private session bus for one test, ended with it: the window's calls to the
// desktop's services go to stand-ins registered there, never to the user's.

#include <QProcess>
#include <QString>

namespace quelby::test {

class PrivateBus
{
public:
    PrivateBus()
    {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000)) {
            address = QString::fromUtf8(daemon_.readLine()).trimmed();
        }
    }
    ~PrivateBus()
    {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    QString address; // empty when no bus could be started

private:
    QProcess daemon_;
};

} // namespace quelby::test
