#include "net/networkrequests.h"

#include "net/tlspolicy.h"

#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

namespace {
bool http2Allowed = false;
} // namespace

void setHttp2Allowed(bool allowed)
{
    http2Allowed = allowed;
}

QNetworkRequest makeNetworkRequest(const QUrl &url, const QByteArray &userAgent,
                                   int transferTimeoutMs)
{
    QNetworkRequest request(url);
    if (!userAgent.isEmpty())
        request.setHeader(QNetworkRequest::UserAgentHeader, userAgent);
    if (transferTimeoutMs > 0)
        request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2Allowed);
    applyTlsPolicy(request);
    // Qt follows a redirect with a copy of this request: a plain address sent on to https gets
    // the same TLS policy as one asked for directly.
    if (url.scheme() == QLatin1String("http")) {
        QUrl secureUrl = url;
        secureUrl.setScheme(QStringLiteral("https"));
        QNetworkRequest secure(secureUrl);
        applyTlsPolicy(secure);
        request.setSslConfiguration(secure.sslConfiguration());
    }
    return request;
}

void useSystemProxy()
{
    // Players behind a company or school proxy reach the servers only through it; Qt would
    // otherwise go direct on Windows.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}
