#include "app/singleinstance.h"

#include "platform/platform.h"

#include <QLocalSocket>
#include <QStandardPaths>

namespace {
// The user's own runtime folder, not the shared temporary one: there another user's launcher
// would hold the name, and this user's could neither listen nor be reached.
QString socketPath(const QString &name)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}
} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent)
    : QObject(parent), name(name), socketName(socketPath(name))
{}

bool SingleInstance::acquire()
{
    if (!platform::acquireSingleInstance(name.toStdString()))
        return false;
#ifndef Q_OS_WIN
    // We hold the lock, so a socket left behind by a crashed instance is stale.
    QLocalServer::removeServer(socketName);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
        }
        emit activationRequested();
    });
    server.listen(socketName);
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
    socket.connectToServer(socketName);
    if (socket.waitForConnected(1000))
        socket.disconnectFromServer();
#endif
}
