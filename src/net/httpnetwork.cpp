#include "net/httpnetwork.h"

#include "net/httpreply.h"

#include <QNetworkProxyFactory>
#include <QTcpSocket>
#include <QTimer>

namespace {
// More idle connections to one server than transfers ever run at once are of no use.
constexpr int idlePerServer = 16;
// Names the timer that ends a kept connection's idle time (the socket has timers of its own).
const char idleTimerName[] = "wardgate-idle-expiry";
} // namespace

HttpNetwork::HttpNetwork(QObject *parent) : QNetworkAccessManager(parent) {}

bool HttpNetwork::servesItself(const QNetworkRequest &request) const
{
    const QUrl url = request.url();
    if (url.scheme() != QLatin1String("http") || url.host().isEmpty())
        return false;
    const int policy = redirectPolicyFor(request);
    if (policy != QNetworkRequest::NoLessSafeRedirectPolicy &&
        policy != QNetworkRequest::ManualRedirectPolicy)
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
    }
    return nullptr;
}

void HttpNetwork::keepConnection(QTcpSocket *socket, const QString &server)
{
    QList<QTcpSocket *> &open = idle[server];
    if (open.size() >= idlePerServer) {
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    open.append(socket);
    // Closed by the server, or sending what nobody asked for: of no use any more.
    const auto drop = [this, socket, server] {
        idle[server].removeOne(socket);
        socket->disconnect(this);
        socket->deleteLater();
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

QNetworkReply *HttpNetwork::qtReply(const QNetworkRequest &request)
{
    return QNetworkAccessManager::createRequest(GetOperation, request, nullptr);
}

QNetworkReply *HttpNetwork::createRequest(Operation operation, const QNetworkRequest &request,
                                          QIODevice *outgoingData)
{
    if (operation == GetOperation && servesItself(request))
        return new HttpReply(this, request);
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
