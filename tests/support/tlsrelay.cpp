#include "support/tlsrelay.h"

#include <QSslConfiguration>
#include <QTcpSocket>

namespace testsupport {

TlsRelay::TlsRelay(const QSslCertificate &certificate, const QSslKey &key, quint16 backendPort,
                   QObject *parent)
    : QObject(parent), backendPort(backendPort)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    server.setSslConfiguration(tls);
    connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *client = server.nextPendingConnection())
            relay(client);
    });
}

bool TlsRelay::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString TlsRelay::rootUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort());
}

void TlsRelay::relay(QTcpSocket *client)
{
    ++accepted;
    auto *backend = new QTcpSocket(client);
    connect(client, &QTcpSocket::readyRead, backend,
            [client, backend] { backend->write(client->readAll()); });
    connect(backend, &QTcpSocket::readyRead, client,
            [client, backend] { client->write(backend->readAll()); });
    connect(backend, &QTcpSocket::disconnected, client, [client, backend] {
        client->write(backend->readAll());
        client->disconnectFromHost();
    });
    connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    backend->connectToHost(QHostAddress::LocalHost, backendPort);
    // The request may have come with the handshake.
    if (client->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            client, [client, backend] { backend->write(client->readAll()); }, Qt::QueuedConnection);
}

} // namespace testsupport
