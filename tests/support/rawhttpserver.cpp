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

namespace {

QByteArray headerValue(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

void RawHttpServer::answer(QTcpSocket *socket)
{
    ++requests;
    const QByteArray head = socket->property("head").toByteArray();
    heads.append(head);
    const QByteArray range = headerValue(head, "range");
    const QByteArray ifRange = headerValue(head, "if-range");
    qint64 from = 0;
    QByteArray status = "200 OK";
    QByteArray extra;
    if (honourRanges && range.startsWith("bytes=") && range.endsWith('-') &&
        (ifRange.isEmpty() || ifRange == etag)) {
        from = range.mid(6, range.size() - 7).toLongLong();
        if (from >= body.size()) {
            socket->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                          QByteArray::number(body.size()) +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        status = "206 Partial Content";
        extra = "Content-Range: bytes " + QByteArray::number(from) + '-' +
                QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size()) +
                "\r\n";
    }
    if (!statusLine.isEmpty()) {
        from = 0;
        status = statusLine;
        extra.clear();
    }
    QByteArray response = "HTTP/1.1 " + status +
                          "\r\nContent-Type: application/octet-stream\r\n"
                          "Connection: close\r\n" +
                          extra;
    if (!etag.isEmpty())
        response += "ETag: " + etag + "\r\n";
    if (sendLength)
        response += "Content-Length: " + QByteArray::number(body.size() - from) + "\r\n";
    response += "\r\n";
    socket->write(response);
    QByteArray content = body.mid(from);
    if (cutCount > 0) {
        --cutCount;
        content = content.left(cutAfter);
    }
    if (chunkSize <= 0) {
        sentBodyBytes += content.size();
        socket->write(content);
        socket->disconnectFromHost();
        return;
    }
    auto *pacer = new QTimer(socket);
    connect(pacer, &QTimer::timeout, socket,
            [socket, pacer, content, this, sent = qint64(0)]() mutable {
                const QByteArray piece = content.mid(sent, chunkSize);
                sentBodyBytes += piece.size();
                socket->write(piece);
                sent += chunkSize;
                if (sent >= content.size()) {
                    pacer->stop();
                    socket->disconnectFromHost();
                }
            });
    pacer->start(chunkPauseMs);
}

} // namespace testsupport
