#include "support/stallingserver.h"

#include <QTcpSocket>

namespace testsupport {

StallingServer::StallingServer(int answerCount, const QByteArray &answerBody, QObject *parent)
    : QTcpServer(parent), answersLeft(answerCount), answerBody(answerBody)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequests(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool StallingServer::listenLoopback()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString StallingServer::rootUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void StallingServer::readRequests(QTcpSocket *socket)
{
    // Unread bytes stay in the socket until a whole request (headers and body) has arrived.
    for (;;) {
        const QByteArray buffered = socket->peek(socket->bytesAvailable());
        const qsizetype headerEnd = buffered.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        qint64 bodyLength = 0;
        for (const QByteArray &line : buffered.left(headerEnd).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                bodyLength = line.mid(15).trimmed().toLongLong();
        }
        if (buffered.size() < headerEnd + 4 + bodyLength)
            return;
        socket->read(headerEnd + 4 + bodyLength);
        ++requests;
        if (answersLeft > 0) {
            --answersLeft;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(answerBody.size()) + "\r\n\r\n" + answerBody);
        }
    }
}

} // namespace testsupport
