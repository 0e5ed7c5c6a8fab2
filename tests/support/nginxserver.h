#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// HTTPS with this certificate and key (PEM files) instead of plain HTTP, optionally with HTTP/2;
// nginx's other settings stay at their defaults (1,000 requests per connection).
struct NginxTls
{
    QString certificatePath;
    QString keyPath;
    bool http2 = false;
};

// nginx on a free loopback port, serving `root` as a real deployment would serve the game files:
// its own configuration and prefix in a temporary folder, in the foreground, stopped with the
// object.
class NginxServer
{
public:
    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Starts nginx serving `root` (over plain HTTP unless `tls` names a certificate) and waits
    // until it answers; false with errorString() set when it cannot.
    bool start(const QString &root, const NginxTls &tls = NginxTls());
    // Starts nginx with `servers` (server blocks, as in a site file) inside its own http block,
    // and waits until `port` answers.
    bool startServers(const QString &servers, quint16 port);
    QString rootUrl() const;
    QString errorString() const { return error; }
    // One line per request: protocol, status, body bytes sent, Cache-Control, Content-Encoding,
    // URI.
    QString accessLogPath() const;

    static quint16 freeLoopbackPort();

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
    bool https = false;
    QString error;
};

} // namespace testsupport
