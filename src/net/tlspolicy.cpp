#include "net/tlspolicy.h"

#include <QFile>
#include <QNetworkRequest>
#include <QSslConfiguration>

namespace {
// Written once at start-up, then only read, also by the download lanes' threads.
QList<QSslCertificate> extraAuthorities;
} // namespace

void applyTlsPolicy(QNetworkRequest &request)
{
    if (request.url().scheme() == QLatin1String("http"))
        return;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    if (!extraAuthorities.isEmpty())
        tls.addCaCertificates(extraAuthorities);
    request.setSslConfiguration(tls);
}

void setExtraCaCertificates(const QList<QSslCertificate> &certificates)
{
    extraAuthorities = certificates;
}

QList<QSslCertificate> extraCaCertificates()
{
    return extraAuthorities;
}

bool trustCaCertificatesFile(const QString &pemFile, QString *error)
{
    QFile file(pemFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromDevice(&file, QSsl::Pem);
    if (certificates.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in it");
        return false;
    }
    setExtraCaCertificates(certificates);
    return true;
}
