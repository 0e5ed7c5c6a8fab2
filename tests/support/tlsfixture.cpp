#include "support/tlsfixture.h"

#include <QFile>
#include <QProcess>

namespace testsupport {

bool makeSelfSignedCertificate(const QString &dir, SelfSignedCertificate *result, QString *error)
{
    const QString certPath = dir + QStringLiteral("/cert.pem");
    const QString keyPath = dir + QStringLiteral("/key.pem");
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", keyPath,
                   "-out", certPath});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        *error = QStringLiteral("openssl req failed: ") +
                 QString::fromLocal8Bit(openssl.readAllStandardError());
        return false;
    }
    QFile certFile(certPath);
    QFile keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read what openssl wrote");
        return false;
    }
    result->certificate = QSslCertificate(&certFile, QSsl::Pem);
    result->key = QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem);
    if (result->certificate.isNull() || result->key.isNull()) {
        *error = QStringLiteral("openssl wrote an unreadable certificate or key");
        return false;
    }
    return true;
}

} // namespace testsupport
