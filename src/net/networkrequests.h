#pragma once

#include <QByteArray>
#include <QNetworkRequest>

class QUrl;

// Bytes a request's connection may hold unread on this side (the kernel's receive buffer and the
// socket's): a transfer held back by a speed limit then holds the server back as well.
constexpr QNetworkRequest::Attribute receiveBufferAttribute =
    QNetworkRequest::Attribute(QNetworkRequest::User + 30);

// Every request the launcher sends is built here: the TLS policy, the User-Agent where one is
// asked for (empty: Qt's own), a transfer time-out (0: the network manager's own), and HTTP/1.1
// over HTTPS as well, which HttpNetwork serves on connections of its own with requests in flight.
// Qt 6.4's HTTP/2 fails the streams in flight when a server ends a connection (nginx does after
// 1,000 requests) and may leave the next request hanging until its time-out; over HTTP/1.1 the
// same manifest of thousands of files runs through without a failed attempt.
QNetworkRequest makeNetworkRequest(const QUrl &url, const QByteArray &userAgent = QByteArray(),
                                   int transferTimeoutMs = 0);

// HTTP/2 where the server offers it (through Qt's client), for measuring the two protocols side
// by side (bench/).
void setHttp2Allowed(bool allowed);

// Sends every request of the process through the proxy the system names (on Windows the
// Internet settings, elsewhere http_proxy, https_proxy and no_proxy). Called once at start-up,
// before the first request.
void useSystemProxy();
