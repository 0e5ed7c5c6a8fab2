#include "net/networkrequests.h"

#include "net/tlspolicy.h"

#include <QNetworkProxyFactory>
#include <QNetworkRequest>
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
    return request;
}

void useSystemProxy()
{
    // Players behind a company or school proxy reach the servers only through it; Qt would
    // otherwise go direct on Windows.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}
