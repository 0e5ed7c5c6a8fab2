#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace testsupport {

// A self-signed certificate with its RSA key, made with the openssl command in `dir`: by default
// for 127.0.0.1 (CN and subjectAltName) and valid for two days. Returns false, with the reason in
// `error`, when openssl fails.
struct SelfSignedCertificate
{
    QSslCertificate certificate;
    QSslKey key;
    QString certificatePath;
};
struct CertificateOptions
{
    QString commonName = QStringLiteral("127.0.0.1");
    QString subjectAltName = QStringLiteral("IP:127.0.0.1");
    // Valid for one day in 2020 only.
    bool expired = false;
};
bool makeSelfSignedCertificate(const QString &dir, SelfSignedCertificate *result, QString *error,
                               const CertificateOptions &options = CertificateOptions());

} // namespace testsupport
