#pragma once

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>

class QTcpSocket;

// A network manager that fetches plain http:// addresses with GET over HTTP/1.1 connections of
// its own and leaves everything else (HTTPS, a request the system sends through a proxy, other
// methods) to Qt. Qt 6.4 reads a plain-HTTP answer's status line and headers from an unbuffered
// socket a byte at a time, one system call each: some 265 per small file, which made thousands of
// small files cost more in the launcher than in the server. Here a head is parsed from the
// socket's buffer, and a connection whose answer ended cleanly is kept for the next request to
// the same server, as Qt keeps it.
class HttpNetwork : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit HttpNetwork(QObject *parent = nullptr);

    // Whether this manager's own connections serve the request (rather than Qt's).
    bool servesItself(const QNetworkRequest &request) const;
    // The request's own redirect policy, or else this manager's.
    int redirectPolicyFor(const QNetworkRequest &request) const;
    // An open idle connection to `server` ("host:port"), now the caller's; null when there is none.
    QTcpSocket *idleConnection(const QString &server);
    // Keeps a connection whose answer ended cleanly for the next request to `server`.
    void keepConnection(QTcpSocket *socket, const QString &server);
    // Qt's own reply, for a redirect to an address this manager does not serve itself.
    QNetworkReply *qtReply(const QNetworkRequest &request);
    // How long a kept connection may stay idle before it is closed: 120 s, as Qt keeps its own.
    void setIdleTimeout(int milliseconds) { idleTimeoutMs = milliseconds; }

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    QHash<QString, QList<QTcpSocket *>> idle;
    int idleTimeoutMs = 120000;
};
