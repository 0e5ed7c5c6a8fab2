#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QPointer>
#include <QTimer>

#include <deque>

class HttpNetwork;
class QTcpSocket;

// One GET over a connection of HttpNetwork's own: sends the request, reads the answer's head from
// the socket's buffer, hands the body on as it arrives (by its length, in chunks, or up to the
// connection's end) and gives a connection whose answer ended cleanly back for the next request.
// A kept connection that the server closed before answering is tried once more on a new one.
// Redirects are followed; one to an address the manager leaves to Qt goes on in Qt's reply.
class HttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    HttpReply(HttpNetwork *network, const QNetworkRequest &request);
    ~HttpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Stage
    {
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
        Done
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    void send();
    void readAnswer(bool bounded = true);
    bool readLine(QByteArray *line);
    bool readHead();
    bool startBody();
    bool readBody();
    bool readChunkLine();
    void setHead(int status, const QByteArray &reason, const Headers &headers);
    bool followRedirect();
    void continueInQt(const QNetworkRequest &request);
    void deliver(QByteArray bytes);
    void endAnswer();
    void onClosed();
    void onSocketError();
    void onStallTimer();
    void fail(NetworkError code, const QString &text);
    void finish();
    void dropConnection();

    HttpNetwork *network;
    QPointer<QTcpSocket> socket;
    QPointer<QNetworkReply> qt;
    QTimer stallTimer;
    QElapsedTimer sinceProgress;
    int stallLimitMs = 0; // 0: no limit
    QString server;
    bool reused = false;
    bool retried = false;
    int redirectsLeft = 0;

    Stage stage = Stage::Head;
    bool answerBegun = false; // a byte of the answer arrived on this connection
    int status = 0;
    bool http10 = false;
    QByteArray reason;
    Headers headers;
    qint64 headBytes = 0;
    bool keepAlive = false;
    qint64 left = 0; // bytes of the body or the chunk still to come; -1: up to the connection's end
    NetworkError statusError = NoError;

    qint64 received = 0;
    qint64 total = -1;
    std::deque<QByteArray> buffer;
    qint64 frontOffset = 0;
    qint64 buffered = 0;
    bool readQueued = false;
};
