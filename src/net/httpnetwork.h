#pragma once

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSet>

#include <deque>

class HttpReply;
class QTcpSocket;

// A network manager that fetches http:// and https:// addresses with GET over HTTP/1.1
// connections of its own and leaves everything else (a request the system sends through a proxy,
// one that allows HTTP/2, other methods) to Qt. Qt 6.4 reads a plain-HTTP answer's status line
// and headers from an unbuffered socket a byte at a time, one system call each: some 265 per small
// file, which made thousands of small files cost more in the launcher than in the server; and over
// HTTPS it sends one request per connection at a time, a round trip per small file. Here a head is
// parsed from the socket's buffer, and a connection whose answer ended cleanly is kept for the next
// request to the same server, as Qt keeps it. An https:// connection is a QSslSocket with the
// request's TLS configuration (the launcher's TLS policy); the TLS session of one connection to a
// server is offered again on the next ones, which then skip the full handshake.
// A GET left to Qt is still an HttpReply, which asks Qt for one answer at a time and follows the
// redirects itself: Qt 6.4's reply reads on without its read buffer's bound once it has followed
// one, and each request of the chain gets the launcher's TLS policy.
// Requests marked with pipelineAttribute share a few connections per server: once the server has
// answered one of them with a kept HTTP/1.1 connection, further ones are written behind those
// still waiting for their answers, so that a small file costs no round trip of its own.
class HttpNetwork : public QNetworkAccessManager
{
    Q_OBJECT

public:
    // True on a GET that may wait behind others on a connection (a small file, not a range).
    static constexpr QNetworkRequest::Attribute pipelineAttribute =
        QNetworkRequest::Attribute(QNetworkRequest::User + 29);

    explicit HttpNetwork(QObject *parent = nullptr);
    ~HttpNetwork() override;

    // Requests marked with pipelineAttribute use at most `connections` connections to one server,
    // with at most `depth` of them on each at once; 0 connections: no limit and no pipelining.
    void setPipelining(int connections, int depth);
    bool pipelines() const { return lineLimit > 0; }

    // Whether HttpReply follows the redirects of a GET (an http:// or https:// address whose
    // redirect policy allows no less safe ones, or leaves them to the caller): its reply is
    // an HttpReply, on this manager's own connections or on Qt's.
    bool followsRedirects(const QNetworkRequest &request) const;
    // Whether this manager's own connections serve the request (rather than Qt's).
    bool servesItself(const QNetworkRequest &request) const;
    // The request's own redirect policy, or else this manager's.
    int redirectPolicyFor(const QNetworkRequest &request) const;
    // An open idle connection to `server` ("scheme://host:port"), now the caller's; null when
    // there is none.
    QTcpSocket *idleConnection(const QString &server);
    // Keeps a connection whose answer ended cleanly for the next request to `server`.
    void keepConnection(QTcpSocket *socket, const QString &server);
    // Where a pipelined request goes: on `socket` (an idle connection, or null for a new one),
    // written behind the request on `behind`, or nowhere yet (`waits`: the network sends it
    // again once a connection frees up). `first`: it must not wait behind another (it is sent
    // again after its connection went).
    struct Place
    {
        QTcpSocket *socket = nullptr;
        QTcpSocket *behind = nullptr;
        bool waits = false;
    };
    Place place(HttpReply *reply, const QString &server, bool first);
    // The pipelined reply now reading from `socket`.
    void takeLine(QTcpSocket *socket, const QString &server, HttpReply *reply);
    // `socket`'s answer ended cleanly: the next reply waiting on it reads on, or it is kept.
    void passOn(QTcpSocket *socket, const QString &server);
    // `socket` goes: the requests written behind the one it answered are sent again.
    void dropLine(QTcpSocket *socket);
    // What one answer tells about its server: whether requests may wait behind others there.
    void noteAnswer(const QString &server, bool http11, bool keptAlive);
    // Qt's own reply, for an address this manager does not serve itself.
    QNetworkReply *qtReply(const QNetworkRequest &request);
    // How long a kept connection may stay idle before it is closed: 120 s, as Qt keeps its own.
    void setIdleTimeout(int milliseconds) { idleTimeoutMs = milliseconds; }
    // The TLS session last agreed with `server`, to resume on a new connection (empty: none yet).
    QByteArray tlsSession(const QString &server) const { return tlsSessions.value(server); }
    void keepTlsSession(const QString &server, const QByteArray &session);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    int linesTo(const QString &server) const;
    // A connection that carries pipelined requests: the reply reading its answer, and those whose
    // requests are written behind it, in order.
    struct Line
    {
        QString server;
        QPointer<HttpReply> head;
        std::deque<QPointer<HttpReply>> behind;
    };
    void dispatchLater(const QString &server);
    void dispatch(const QString &server);

    QHash<QString, QList<QTcpSocket *>> idle;
    int idleTimeoutMs = 120000;
    int lineLimit = 0;
    int lineDepth = 1;
    QHash<QTcpSocket *, Line> lines;
    QHash<QString, std::deque<QPointer<HttpReply>>> waiting;
    QSet<QString> dispatching;
    QSet<QString> proven;  // answered a pipelined request over a kept HTTP/1.1 connection
    QSet<QString> refused; // answered as HTTP/1.0: never more than one request at a time
    QHash<QString, QByteArray> tlsSessions;
};
