#pragma once

#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Why a TLS handshake failed, in the player's words: the server's certificate has expired, is
// not trusted, or is for another name. Empty when none of the errors is about the certificate.
// An expired certificate is named first (an expired authority also counts as untrusted), a wrong
// name last: an untrusted certificate could carry any name.
QString tlsFailureText(const QList<QSslError> &errors);

// Remembers the last certificate refusal of a network manager's handshakes. Qt reports the
// certificate's errors on the one reply whose connection made the handshake; the other replies
// waiting for that server fail with only "SSL handshake failed". A child of the manager.
class TlsFailureWatch : public QObject
{
    Q_OBJECT

public:
    explicit TlsFailureWatch(QNetworkAccessManager *manager);

    // The reason for a reply that failed its handshake; empty for any other outcome.
    QString reasonFor(const QNetworkReply *reply) const;

private:
    QString lastRefusal;
};
