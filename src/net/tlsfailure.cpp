#include "net/tlsfailure.h"

#include <QCoreApplication>

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>

namespace {

bool anyOf(const QList<QSslError> &errors, std::initializer_list<QSslError::SslError> kinds)
{
    return std::any_of(errors.begin(), errors.end(), [kinds](const QSslError &error) {
        return std::find(kinds.begin(), kinds.end(), error.error()) != kinds.end();
    });
}

} // namespace

QString tlsFailureText(const QList<QSslError> &errors)
{
    if (anyOf(errors, {QSslError::CertificateExpired}))
        return QCoreApplication::translate("TlsFailure", "The server's certificate has expired.");
    if (anyOf(errors, {QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
                       QSslError::UnableToGetLocalIssuerCertificate,
                       QSslError::UnableToGetIssuerCertificate,
                       QSslError::UnableToVerifyFirstCertificate, QSslError::CertificateUntrusted,
                       QSslError::CertificateRejected, QSslError::InvalidCaCertificate,
                       QSslError::CertificateSignatureFailed, QSslError::CertificateRevoked,
                       QSslError::CertificateNotYetValid, QSslError::InvalidPurpose,
                       QSslError::PathLengthExceeded, QSslError::CertificateBlacklisted}))
        return QCoreApplication::translate("TlsFailure",
                                           "The server's certificate is not trusted.");
    if (anyOf(errors, {QSslError::HostNameMismatch}))
        return QCoreApplication::translate("TlsFailure",
                                           "The server's certificate is for another name.");
    return QString();
}

TlsFailureWatch::TlsFailureWatch(QNetworkAccessManager *manager) : QObject(manager)
{
    connect(manager, &QNetworkAccessManager::sslErrors, this,
            [this](QNetworkReply *, const QList<QSslError> &errors) {
                lastRefusal = tlsFailureText(errors);
            });
}

QString TlsFailureWatch::reasonFor(const QNetworkReply *reply) const
{
    return reply->error() == QNetworkReply::SslHandshakeFailedError ? lastRefusal : QString();
}
