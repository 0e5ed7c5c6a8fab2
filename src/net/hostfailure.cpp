#include "net/hostfailure.h"

#include <QNetworkReply>

bool isHostFailure(const QNetworkReply *reply, bool tooSlow)
{
    if (tooSlow)
        return true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 500)
        return true;
    switch (reply->error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // Qt's transfer time-out
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    case QNetworkReply::RemoteHostClosedError:
        return status == 0; // before a word of an answer; a cut body resumes on the same host
    default:
        return false;
    }
}
