#include "support/rawhttpserver.h"

#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

RawHttpServer::RawHttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                // Answer once the request head is complete; GET requests have no body.
                if (socket->property("answered").toBool())
                    return;
                QByteArray head = socket->property("head").toByteArray() + socket->readAll();
                socket->setProperty("head", head);
                if (head.contains("\r\n\r\n")) {
                    socket->setProperty("answered", true);
                    answer(socket);
                }
            });
        }
    });
}

bool RawHttpServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString RawHttpServer::rootUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void RawHttpServer::setCut(int count, qint64 after)
{
    cutCount = count;
    cutAfter = after;
}

void RawHttpServer::setPace(qint64 chunk, int pauseMs)
{
    chunkSize = chunk;
    chunkPauseMs = pauseMs;
}

void RawHttpServer::answer(QTcpSocket *socket)
{
    ++requests;
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                          "Connection: close\r\n";
    if (sendLength)
        response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += "\r\n";
    socket->write(response);
    QByteArray content = body;
    if (cutCount > 0) {
        --cutCount;
        content = body.left(cutAfter);
    }
    if (chunkSize <= 0) {
        socket->write(content);
        socket->disconnectFromHost();
        return;
    }
    auto *pacer = new QTimer(socket);
    connect(pacer, &QTimer::timeout, socket,
            [socket, pacer, content, this, sent = qint64(0)]() mutable {
                socket->write(content.mid(sent, chunkSize));
                sent += chunkSize;
                if (sent >= content.size()) {
                    pacer->stop();
                    socket->disconnectFromHost();
                }
            });
    pacer->start(chunkPauseMs);
}

} // namespace testsupport
