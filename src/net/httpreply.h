#pragma once

#include "net/httpanswerparser.h"

#include <QElapsedTimer>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QPointer>
#include <QSslError>
#include <QTimer>

#include <deque>

class HttpNetwork;
class QTcpSocket;

// One GET over a connection of HttpNetwork's own: sends the request, reads the answer from the
// socket's buffer (HttpAnswerParser), hands the body on as it arrives and gives a connection whose
// answer ended cleanly back for the next request.
// Over https:// the connection is TLS with the request's configuration; a certificate refused
// fails the reply with SslHandshakeFailedError and its reason in the player's words
// (tlsFailureText), and the errors go out in sslErrors(), on the reply and on the manager.
// A kept connection that the server closed before answering is tried once more on a new one.
// An address the manager leaves to Qt is asked in Qt's reply, which holds no more than the read
// buffer. Redirects are followed here, from either, each to the connections that serve its
// address; a reply with ManualRedirectPolicy gives the redirect itself.
// A pipelined request may wait for a connection, or behind another request on one: meanwhile
// it runs no stall timer.
class HttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    HttpReply(HttpNetwork *network, const QNetworkRequest &request);
    ~HttpReply() override;

    // Whether the request waits for its turn: no connection yet, or answers ahead of its own.
    bool waitingTurn() const { return waiting; }

    // Moves everything that has reached this side of the connection into the reply, past the read
    // buffer and without waiting: a transfer that stops keeps the bytes that crossed the wire.
    // Emits readyRead() and may end the answer (finished()).
    void takeWhatArrived();

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class HttpNetwork;
    void send();
    QTcpSocket *connectTo(const QUrl &target, quint16 port, const QByteArray &head);
    void attach();
    void limitReceiveBuffers();
    void takeTurn(QTcpSocket *line);
    void sendAgain();
    void readAnswer(bool bounded = true);
    bool takeHead();
    void setHead(int status, const QByteArray &reason,
                 const QList<QPair<QByteArray, QByteArray>> &headers);
    bool followRedirect(int status, const QByteArray &location);
    void continueInQt(QNetworkRequest request);
    void pullFromQt();
    void dropQtReply();
    void reportTlsErrors(QList<QSslError> errors);
    void deliver(QByteArray bytes);
    void endAnswer();
    void onClosed();
    void onSocketError();
    void onStallTimer();
    void sendAgainOrFail(NetworkError code, const QString &text);
    void fail(NetworkError code, const QString &text);
    void finish();
    void dropConnection();

    HttpNetwork *network;
    QPointer<QTcpSocket> socket;
    QPointer<QNetworkReply> qt;
    HttpAnswerParser answer;
    QTimer stallTimer;
    QElapsedTimer sinceProgress;
    int stallLimitMs = 0; // 0: no limit
    // The connection's receive buffers with a speed limit (receiveBufferAttribute); 0: the usual.
    qint64 receiveBuffer = 0;
    QString server;
    bool reused = false;
    bool retried = false;
    bool pipelined = false;
    bool waiting = false;
    bool answerBegun = false; // a byte of the answer arrived on this connection
    bool headTaken = false;
    int redirectsLeft = 0;
    NetworkError statusError = NoError;
    QList<QSslError> tlsErrors; // of this reply's last handshake

    qint64 received = 0;
    qint64 total = -1;
    std::deque<QByteArray> buffer;
    qint64 frontOffset = 0;
    qint64 buffered = 0;
    bool paused = false; // reading stopped until the consumer takes what it was given
    bool readQueued = false;
};
