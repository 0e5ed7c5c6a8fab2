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

    // Starts nginx and waits until it answers; false with errorString() set when it cannot.
    bool start(const QString &root, const NginxTls &tls = NginxTls());
    QString rootUrl() const;
    QString errorString() const { return error; }

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
    bool https = false;
    QString error;
};

} // namespace testsupport
