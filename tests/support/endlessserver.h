#pragma once

#include <QByteArray>
#include <QHash>
#include <QTcpServer>

namespace testsupport {

// A raw HTTP server on 127.0.0.1 whose answers are "200 OK" with a body that does not end (up to
// `most` bytes of spaces, then the connection closes), written only as fast as the client takes
// it, or dripped a few bytes at a time: bodyBytesSent() counts what the connections accepted, so
// it tells how much a client that stopped reading let through. With a declared length the head
// names `most` as Content-Length; without one the body ends only with the connection. Paths given
// a fixed answer get that body whole instead.
class EndlessServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit EndlessServer(qint64 most, bool declareLength = false, QObject *parent = nullptr);

    bool listenLoopback();
    QString rootUrl() const;
    // `bytes` every `pauseMs` instead of as fast as the client reads.
    void setDrip(qint64 bytes, int pauseMs);
    // A request whose target starts with `path` gets `body`, with its length.
    void setFixedAnswer(const QByteArray &path, const QByteArray &body)
    {
        fixed.insert(path, body);
    }
    qint64 bodyBytesSent() const { return sent; }
    // Whether every connection has been closed, by the client or at the end of its body.
    bool idle() const { return open == 0; }

private:
    void answer(QTcpSocket *socket, const QByteArray &head);
    void feed(QTcpSocket *socket);

    const qint64 most;
    const bool declareLength;
    qint64 dripBytes = 0;
    int dripPauseMs = 0;
    QHash<QByteArray, QByteArray> fixed;
    qint64 sent = 0;
    int open = 0;
};

} // namespace testsupport
