#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

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

    // Starts nginx serving `root` over plain HTTP and waits until it answers; false with
    // errorString() set when it cannot.
    bool start(const QString &root);
    // Starts nginx with `servers` (server blocks, as in a site file) inside its own http block,
    // and waits until `port` answers.
    bool startServers(const QString &servers, quint16 port);
    QString rootUrl() const;
    QString errorString() const { return error; }
    // One line per request: protocol, status, Cache-Control, Content-Encoding, URI.
    QString accessLogPath() const;

    static quint16 freeLoopbackPort();

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
    QString error;
};

} // namespace testsupport
