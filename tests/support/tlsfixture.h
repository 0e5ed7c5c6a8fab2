#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace testsupport {

// A self-signed certificate for 127.0.0.1 (CN and subjectAltName) with its RSA key, made with the
// openssl command in `dir`. Returns false, with the reason in `error`, when openssl fails.
struct SelfSignedCertificate
{
    QSslCertificate certificate;
    QSslKey key;
};
bool makeSelfSignedCertificate(const QString &dir, SelfSignedCertificate *result, QString *error);

} // namespace testsupport
