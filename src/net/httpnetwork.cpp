#include "net/httpnetwork.h"

#include "net/httpreply.h"

#include <QNetworkProxyFactory>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace {
// More idle connections to one server than transfers ever run at once are of no use.
constexpr int idlePerServer = 16;
// Names the timer that ends a kept connection's idle time (the socket has timers of its own).
const char idleTimerName[] = "wardgate-idle-expiry";

// Whether the request of the reply reading from `socket` has gone out, so that one written now
// comes after it: a TLS socket holds what is written before its handshake ends and the head's
// request is written only then.
bool carriesRequests(QTcpSocket *socket)
{
    const auto *secure = qobject_cast<QSslSocket *>(socket);
    return socket->state() == QAbstractSocket::ConnectedState && (!secure || secure->isEncrypted());
}
} // namespace

HttpNetwork::HttpNetwork(QObject *parent) : QNetworkAccessManager(parent) {}

// Replies reach this manager's bookkeeping when they end: they go while it is still whole.
HttpNetwork::~HttpNetwork()
{
    const QList<HttpReply *> replies = findChildren<HttpReply *>(Qt::FindDirectChildrenOnly);
    for (HttpReply *reply : replies)
        delete reply;
}

void HttpNetwork::setPipelining(int connections, int depth)
{
    lineLimit = qMax(0, connections);
    lineDepth = qMax(1, depth);
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it)
        dispatchLater(it.key());
}

bool HttpNetwork::servesItself(const QNetworkRequest &request) const
{
    const QUrl url = request.url();
    const bool tls = url.scheme() == QLatin1String("https");
    if (!followsRedirects(request) || url.host().isEmpty() || (tls && !QSslSocket::supportsSsl()))
        return false;
    // HTTP/2 is Qt's to speak: only a request that asks for it says so.
    if (tls && request.attribute(QNetworkRequest::Http2AllowedAttribute, false).toBool())
        return false;
    // The same question Qt asks, so that what goes through the system's proxy still does
    // (through Qt); loopback addresses never do.
    const QNetworkProxyQuery query(url);
    QList<QNetworkProxy> proxies;
    if (proxyFactory())
        proxies = proxyFactory()->queryProxy(query);
    else if (proxy().type() != QNetworkProxy::DefaultProxy)
        proxies = {proxy()};
    else
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    return proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
}

bool HttpNetwork::followsRedirects(const QNetworkRequest &request) const
{
    const QString scheme = request.url().scheme();
    const int policy = redirectPolicyFor(request);
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           (policy == QNetworkRequest::NoLessSafeRedirectPolicy ||
            policy == QNetworkRequest::ManualRedirectPolicy);
}

int HttpNetwork::redirectPolicyFor(const QNetworkRequest &request) const
{
    return request.attribute(QNetworkRequest::RedirectPolicyAttribute, int(redirectPolicy()))
        .toInt();
}

QTcpSocket *HttpNetwork::idleConnection(const QString &server)
{
    QList<QTcpSocket *> &open = idle[server];
    while (!open.isEmpty()) {
        // The one used last is the likeliest to be still open at the server.
        QTcpSocket *socket = open.takeLast();
        socket->disconnect(this);
        delete socket->findChild<QTimer *>(QLatin1String(idleTimerName),
                                           Qt::FindDirectChildrenOnly);
        if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return socket;
        socket->deleteLater();
        dropLine(socket);
    }
    return nullptr;
}

void HttpNetwork::keepConnection(QTcpSocket *socket, const QString &server)
{
    QList<QTcpSocket *> &open = idle[server];
    if (open.size() >= idlePerServer) {
        socket->deleteLater();
        dropLine(socket);
        return;
    }
    socket->setParent(this);
    open.append(socket);
    // Closed by the server, or sending what nobody asked for: of no use any more.
    const auto drop = [this, socket, server] {
        idle[server].removeOne(socket);
        socket->disconnect(this);
        socket->deleteLater();
        dropLine(socket);
    };
    connect(socket, &QTcpSocket::disconnected, this, drop);
    connect(socket, &QTcpSocket::readyRead, this, drop);
    // A launcher waiting in the tray for hours holds no connection open meanwhile.
    auto *expiry = new QTimer(socket);
    expiry->setObjectName(QLatin1String(idleTimerName));
    expiry->setSingleShot(true);
    connect(expiry, &QTimer::timeout, this, drop);
    expiry->start(idleTimeoutMs);
}

void HttpNetwork::keepTlsSession(const QString &server, const QByteArray &session)
{
    if (!session.isEmpty())
        tlsSessions.insert(server, session);
}

int HttpNetwork::linesTo(const QString &server) const
{
    int count = 0;
    for (const Line &line : lines)
        count += line.server == server ? 1 : 0;
    return count;
}

HttpNetwork::Place HttpNetwork::place(HttpReply *reply, const QString &server, bool first)
{
    Place where;
    if (!first)
        where.socket = idleConnection(server);
    if (where.socket || linesTo(server) < lineLimit)
        return where; // an idle connection, or a new one
    if (first) {
        // A request sent again goes on a new connection, not on one that may have just had its
        // last answer: an idle one makes room for it.
        const QList<QTcpSocket *> open = idle.value(server);
        for (QTcpSocket *socket : open) {
            if (!lines.contains(socket))
                continue;
            idle[server].removeOne(socket);
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
            dropLine(socket);
            return where;
        }
    } else if (proven.contains(server) && !refused.contains(server)) {
        // Behind the connection with the fewest requests on it.
        QTcpSocket *best = nullptr;
        size_t fewest = size_t(lineDepth);
        for (auto it = lines.begin(); it != lines.end(); ++it) {
            const Line &line = it.value();
            const size_t onIt = 1 + line.behind.size();
            if (line.server == server && line.head && !line.head->isFinished() &&
                carriesRequests(it.key()) && onIt < fewest) {
                best = it.key();
                fewest = onIt;
            }
        }
        if (best) {
            lines[best].behind.emplace_back(reply);
            where.behind = best;
            return where;
        }
    }
    waiting[server].emplace_back(reply);
    where.waits = true;
    return where;
}

void HttpNetwork::takeLine(QTcpSocket *socket, const QString &server, HttpReply *reply)
{
    Line &line = lines[socket];
    line.server = server;
    line.head = reply;
}

void HttpNetwork::passOn(QTcpSocket *socket, const QString &server)
{
    const auto it = lines.find(socket);
    if (it != lines.end() && !it->behind.empty()) {
        const QPointer<HttpReply> next = it->behind.front();
        it->behind.pop_front();
        if (next && !next->isFinished()) {
            it->head = next;
            next->takeTurn(socket);
            dispatchLater(server);
            return;
        }
        // The answer to a request nobody waits for any more is on its way: the connection goes,
        // and the requests behind it are sent again.
        socket->abort();
        socket->deleteLater();
        dropLine(socket);
        return;
    }
    if (it != lines.end())
        it->head = nullptr;
    if (socket->bytesAvailable() > 0) {
        socket->abort(); // sending what nobody asked for
        socket->deleteLater();
        dropLine(socket);
        return;
    }
    keepConnection(socket, server);
    dispatchLater(server);
}

void HttpNetwork::dropLine(QTcpSocket *socket)
{
    const auto it = lines.find(socket);
    if (it == lines.end())
        return;
    const Line line = it.value();
    lines.erase(it);
    // Unanswered: sent once more, without counting as a failed attempt.
    for (const QPointer<HttpReply> &reply : line.behind) {
        if (reply)
            QMetaObject::invokeMethod(
                reply,
                [reply] {
                    if (reply)
                        reply->sendAgain();
                },
                Qt::QueuedConnection);
    }
    dispatchLater(line.server);
}

void HttpNetwork::noteAnswer(const QString &server, bool http11, bool keptAlive)
{
    if (!http11)
        refused.insert(server);
    else if (keptAlive)
        proven.insert(server);
}

void HttpNetwork::dispatchLater(const QString &server)
{
    if (waiting.value(server).empty() || dispatching.contains(server))
        return;
    dispatching.insert(server);
    QMetaObject::invokeMethod(
        this,
        [this, server] {
            dispatching.remove(server);
            dispatch(server);
        },
        Qt::QueuedConnection);
}

// In the order they came; those that find no place yet wait again.
void HttpNetwork::dispatch(const QString &server)
{
    const std::deque<QPointer<HttpReply>> queue = std::exchange(waiting[server], {});
    for (const QPointer<HttpReply> &reply : queue) {
        if (reply && !reply->isFinished())
            reply->send();
    }
}

QNetworkReply *HttpNetwork::qtReply(const QNetworkRequest &request)
{
    return QNetworkAccessManager::createRequest(GetOperation, request, nullptr);
}

QNetworkReply *HttpNetwork::createRequest(Operation operation, const QNetworkRequest &request,
                                          QIODevice *outgoingData)
{
    if (operation == GetOperation && followsRedirects(request))
        return new HttpReply(this, request);
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
