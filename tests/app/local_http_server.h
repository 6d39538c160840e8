// A plain-HTTP server on 127.0.0.1 that gives every request one canned
// answer, or none at all, so update checks run without leaving the machine.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

struct CannedResponse
{
    int status = 200;
    QByteArray contentType = "text/xml";
    QByteArray body;
    bool answers = true;
    // Without a Content-Length the body simply ends when the connection closes.
    bool announcesLength = true;
};

class LocalHttpServer
{
public:
    LocalHttpServer()
    {
        myServer.listen(QHostAddress::LocalHost);
        QObject::connect(&myServer, &QTcpServer::newConnection, &myServer, [this] {
            while (QTcpSocket* client = myServer.nextPendingConnection()) {
                QObject::connect(client, &QTcpSocket::readyRead, client,
                                 [this, client] { serve(client); });
                QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            }
        });
    }

    bool isListening() const { return myServer.isListening(); }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(myServer.serverPort()).arg(path));
    }
    void setResponse(CannedResponse response) { myResponse = std::move(response); }
    int requestCount() const { return myRequestCount; }

private:
    void serve(QTcpSocket* client)
    {
        const QByteArray request = client->property("request").toByteArray() + client->readAll();
        client->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || client->property("served").toBool()) {
            return;
        }
        client->setProperty("served", true);
        ++myRequestCount;
        if (!myResponse.answers) {
            return;
        }
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(myResponse.status) + " Canned\r\n";
        if (!myResponse.contentType.isEmpty()) {
            answer += "Content-Type: " + myResponse.contentType + "\r\n";
        }
        if (myResponse.announcesLength) {
            answer += "Content-Length: " + QByteArray::number(myResponse.body.size()) + "\r\n";
        }
        answer += "Connection: close\r\n\r\n";
        client->write(answer + myResponse.body);
        client->disconnectFromHost();
    }

    QTcpServer myServer;
    CannedResponse myResponse;
    int myRequestCount = 0;
};
