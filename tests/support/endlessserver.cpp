#include "support/endlessserver.h"

#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

namespace {
// What is handed to the socket at a time; more is handed only once it has gone out.
constexpr qint64 pieceBytes = 64 * 1024;
} // namespace

EndlessServer::EndlessServer(qint64 most, bool declareLength, QObject *parent)
    : QTcpServer(parent), most(most), declareLength(declareLength)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            ++open;
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                --open;
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (socket->property("answered").toBool()) {
                    socket->readAll();
                    return;
                }
                const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
                socket->setProperty("head", head);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                // A POST's body comes after its head; it is read and dropped.
                socket->setProperty("answered", true);
                answer(socket, head.left(end));
            });
        }
    });
}

bool EndlessServer::listenLoopback()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString EndlessServer::rootUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void EndlessServer::setDrip(qint64 bytes, int pauseMs)
{
    dripBytes = bytes;
    dripPauseMs = pauseMs;
}

void EndlessServer::answer(QTcpSocket *socket, const QByteArray &head)
{
    const QByteArray target = head.split(' ').value(1);
    for (auto it = fixed.cbegin(); it != fixed.cend(); ++it) {
        if (target.startsWith(it.key())) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(it.value().size()) + "\r\nConnection: close\r\n\r\n" +
                          it.value());
            socket->disconnectFromHost();
            return;
        }
    }
    QByteArray start = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    if (declareLength)
        start += "Content-Length: " + QByteArray::number(most) + "\r\n";
    socket->write(start + "Connection: close\r\n\r\n");
    socket->setProperty("left", most);
    if (dripBytes <= 0) {
        connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] { feed(socket); });
        feed(socket);
        return;
    }
    auto *drip = new QTimer(socket);
    connect(drip, &QTimer::timeout, socket, [this, socket] { feed(socket); });
    drip->start(dripPauseMs);
}

void EndlessServer::feed(QTcpSocket *socket)
{
    if (dripBytes <= 0 && socket->bytesToWrite() > 0)
        return;
    const qint64 left = socket->property("left").toLongLong();
    if (left <= 0) {
        socket->disconnectFromHost();
        return;
    }
    static const QByteArray piece(pieceBytes, ' ');
    const qint64 size = qMin(left, dripBytes > 0 ? dripBytes : pieceBytes);
    // Counted as the piece is handed over: only the last one may still be in the socket's buffer.
    sent += size;
    socket->setProperty("left", left - size);
    socket->write(piece.constData(), size);
}

} // namespace testsupport
