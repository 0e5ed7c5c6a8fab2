#include "support/rawhttpserver.h"

#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

RawHttpServer::RawHttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            peakConnections = qMax(peakConnections, ++openConnections);
            connect(socket, &QObject::destroyed, this, [this] { --openConnections; });
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
    qint64 to = body.size() - 1;
    QByteArray status = "200 OK";
    QByteArray extra;
    const int dash = range.indexOf('-');
    if (honourRanges && range.startsWith("bytes=") && dash > 6 &&
        (ifRange.isEmpty() || ifRange == etag) &&
        (!rangesFromStartOnly || range.startsWith("bytes=0-"))) {
        from = range.mid(6, dash - 6).toLongLong();
        // The first range stays right, so that a client trusts the server with the others.
        const qint64 shift = from > 0 ? rangeShift : 0;
        from += shift;
        if (dash + 1 < range.size())
            to = qMin(to, range.mid(dash + 1).toLongLong() + shift);
        if (from >= body.size()) {
            socket->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                          QByteArray::number(body.size()) +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        status = "206 Partial Content";
        extra = "Content-Range: bytes " + QByteArray::number(from) + '-' + QByteArray::number(to) +
                '/' + QByteArray::number(body.size()) + "\r\n";
    }
    if (!statusLine.isEmpty()) {
        from = 0;
        to = body.size() - 1;
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
        response += "Content-Length: " + QByteArray::number(to + 1 - from) + "\r\n";
    response += "\r\n";
    socket->write(response);
    QByteArray content = body.mid(from, to + 1 - from);
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
