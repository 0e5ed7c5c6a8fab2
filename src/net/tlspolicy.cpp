#include "net/tlspolicy.h"

#include <QNetworkRequest>
#include <QSslConfiguration>

void applyTlsPolicy(QNetworkRequest &request)
{
    if (request.url().scheme() == QLatin1String("http"))
        return;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    request.setSslConfiguration(tls);
}
