#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>

namespace testsupport {

// A bare HTTP/1.1 server on loopback for answers Qt HttpServer cannot give: every GET gets
// `body` with status 200 and "Connection: close"; the first `cutCount` answers stop after
// `cutAfter` bytes of the body and drop the connection; without a length the body simply ends
// when the connection closes. Paced, the body goes out in chunks with a pause between them.
// With ranges honoured it answers "Range: bytes=N-" and "bytes=N-M" with 206 (or 416 past the
// end) unless an If-Range names another validator than its ETag.
class RawHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit RawHttpServer(QObject *parent = nullptr);

    bool listen();
    QString rootUrl() const;

    void setBody(const QByteArray &content) { body = content; }
    void setCut(int count, qint64 after);
    void setSendLength(bool send) { sendLength = send; }
    void setPace(qint64 chunk, int pauseMs);
    void setEtag(const QByteArray &value) { etag = value; }
    // Every answer gets this status line ("302 Found") instead, with the body as it is.
    void setStatus(const QByteArray &line) { statusLine = line; }
    void setHonourRanges(bool honour) { honourRanges = honour; }
    // Honours only a range that starts at 0: any other gets 200 and the whole body.
    void setRangesFromStartOnly(bool only) { rangesFromStartOnly = only; }
    // Answers a range that does not start at 0 with a Content-Range (and bytes) this far past it.
    void setRangeShift(qint64 shift) { rangeShift = shift; }
    // The most connections open at once so far.
    int mostConnections() const { return peakConnections; }
    int requestCount() const { return requests; }
    // Body bytes written to the wire over all answers.
    qint64 bodyBytesSent() const { return sentBodyBytes; }
    // Request heads in the order they came.
    QList<QByteArray> requestHeads() const { return heads; }

private:
    void answer(QTcpSocket *socket);

    QTcpServer server;
    QByteArray body;
    int cutCount = 0;
    qint64 cutAfter = 0;
    bool sendLength = true;
    qint64 chunkSize = 0;
    int chunkPauseMs = 0;
    int requests = 0;
    QByteArray etag;
    QByteArray statusLine;
    bool honourRanges = false;
    bool rangesFromStartOnly = false;
    qint64 rangeShift = 0;
    int openConnections = 0;
    int peakConnections = 0;
    qint64 sentBodyBytes = 0;
    QList<QByteArray> heads;
};

} // namespace testsupport
