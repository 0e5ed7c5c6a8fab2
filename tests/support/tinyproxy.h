#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// tinyproxy on a free loopback port, an HTTP proxy as the system would name one (CONNECT for
// https:// too): its configuration and log in a temporary folder, stopped with the object.
class Tinyproxy
{
public:
    Tinyproxy() = default;
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy &) = delete;
    Tinyproxy &operator=(const Tinyproxy &) = delete;

    // Starts it and waits until it takes connections; false with errorString() set when it cannot.
    bool start();
    quint16 port() const { return listenPort; }
    // Its log, which names each request it passes on ("GET http://host:port/path ...",
    // "CONNECT host:port ...").
    QString log() const;
    QString errorString() const { return error; }

private:
    QTemporaryDir dir;
    QProcess process;
    quint16 listenPort = 0;
    QString error;
};

} // namespace testsupport
