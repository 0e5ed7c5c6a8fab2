#include "app/singleinstance.h"

#include "platform/platform.h"

#include <QLocalSocket>

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent), name(name)
{}

bool SingleInstance::acquire()
{
    if (!platform::acquireSingleInstance(name.toStdString()))
        return false;
#ifndef Q_OS_WIN
    // We hold the lock, so a socket left behind by a crashed instance is stale.
    QLocalServer::removeServer(name);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
        }
        emit activationRequested();
    });
    server.listen(name);
#endif
    return true;
}

void SingleInstance::activateRunningInstance(const QString &windowTitle)
{
#ifdef Q_OS_WIN
    platform::activateWindowByTitle(windowTitle.toStdString());
#else
    Q_UNUSED(windowTitle);
    QLocalSocket socket;
    socket.connectToServer(name);
    if (socket.waitForConnected(1000))
        socket.disconnectFromServer();
#endif
}
