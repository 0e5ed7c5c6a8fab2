#pragma once

#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QString>

namespace testsupport {

// Puts TLS in front of a plain server on loopback, so that the test servers that answer byte by
// byte (cuts, ranges, scripted answers) serve over HTTPS too: each connection that completes its
// handshake is relayed to `backendPort`, and a close on either side closes the other once what
// was on its way has been passed on.
class TlsRelay : public QObject
{
    Q_OBJECT

public:
    TlsRelay(const QSslCertificate &certificate, const QSslKey &key, quint16 backendPort,
             QObject *parent = nullptr);

    bool listen();
    QString rootUrl() const;
    // Handshakes completed so far.
    int handshakes() const { return accepted; }

private:
    void relay(QTcpSocket *client);

    QSslServer server;
    quint16 backendPort;
    int accepted = 0;
};

} // namespace testsupport
