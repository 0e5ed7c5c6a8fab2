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

    // Starts nginx and waits until it answers; false with errorString() set when it cannot.
    bool start(const QString &root);
    QString rootUrl() const;
    QString errorString() const { return error; }

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
    QString error;
};

} // namespace testsupport
