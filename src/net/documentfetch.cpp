#include "net/documentfetch.h"

#include "net/lowspeedguard.h"
#include "net/networkrequests.h"
#include "net/tlsfailure.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <utility>

namespace {

FailureText tooLarge(const FailureText &name, qint64 limit)
{
    if (limit >= 1024 * 1024)
        return FailureText("DocumentFetch", "%1 is larger than %2 MB")
            .arg(name)
            .arg(limit / 1024 / 1024);
    return FailureText("DocumentFetch", "%1 is larger than %2 KB").arg(name).arg(limit / 1024);
}

} // namespace

DocumentFetch::DocumentFetch(QNetworkAccessManager *network, const DocumentRequest &request,
                             QObject *parent)
    : QObject(parent), network(network), request(request), deadline(new QTimer(this))
{
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        stop(FailureText("DocumentFetch", "%1 did not arrive within %2 s")
                 .arg(this->request.name)
                 .arg(QString::number(this->request.deadlineMs / 1000.0)));
    });
}

DocumentFetch::~DocumentFetch()
{
    cancel();
}

void DocumentFetch::start()
{
    cancel();
    body.clear();
    failureText = FailureText();
    stopReason = FailureText();
    certificateRefusal.clear();
    status = 0;
    isDone = false;

    QNetworkRequest wanted =
        makeNetworkRequest(request.url, request.userAgent, request.silenceLimitMs);
    for (const auto &[name, value] : std::as_const(request.headers))
        wanted.setRawHeader(name, value);
    if (request.post)
        wanted.setHeader(QNetworkRequest::ContentTypeHeader, request.postType);
    reply = request.post ? network->post(wanted, request.postBody) : network->get(wanted);
    reply->setReadBufferSize(readBufferBytes);
    speed = LowSpeedGuard::watch(reply, request.lowSpeedWindowMs);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DocumentFetch::onMetaData);
    connect(reply, &QNetworkReply::readyRead, this, &DocumentFetch::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DocumentFetch::onFinished);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        certificateRefusal = tlsFailureText(errors);
    });
    if (request.deadlineMs > 0)
        deadline->start(request.deadlineMs);
}

void DocumentFetch::cancel()
{
    deadline->stop();
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

QByteArray DocumentFetch::takeBytes()
{
    return std::exchange(body, QByteArray());
}

// A declared length beyond the limit is refused before a byte of the body is read; a plausible
// one lets the body grow in place.
void DocumentFetch::onMetaData()
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid() || reply->rawHeader("Content-Encoding").size() > 0)
        return;
    const qint64 declared = length.toLongLong();
    if (declared > request.sizeLimit)
        stop(tooLarge(request.name, request.sizeLimit));
    else if (declared > 0 && body.isEmpty())
        body.reserve(declared);
}

void DocumentFetch::onReadyRead()
{
    if (!reply || !stopReason.isEmpty())
        return;
    const qint64 room = request.sizeLimit - body.size();
    const qint64 available = reply->bytesAvailable();
    if (available > room) {
        stop(tooLarge(request.name, request.sizeLimit));
        return;
    }
    body += reply->read(available);
}

void DocumentFetch::stop(const FailureText &reason)
{
    if (!reply || !stopReason.isEmpty())
        return;
    stopReason = reason;
    reply->abort();
}

void DocumentFetch::onFinished()
{
    QNetworkReply *ended = reply;
    if (!ended)
        return;
    ended->deleteLater();
    deadline->stop();
    status = ended->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Qt may hand over the last of a body only as the reply ends.
    if (stopReason.isEmpty() && ended->error() == QNetworkReply::NoError)
        onReadyRead();
    reply = nullptr;
    isDone = true;

    if (!stopReason.isEmpty()) {
        failureText = stopReason;
    } else if (speed && speed->tripped()) {
        failureText = speed->reason();
    } else if (ended->error() == QNetworkReply::OperationCanceledError) {
        // Qt's transfer time-out calls itself a cancel.
        const int silence =
            request.silenceLimitMs > 0 ? request.silenceLimitMs : network->transferTimeout();
        failureText = FailureText("DocumentFetch", "the server sent nothing for %1 s")
                          .arg(QString::number(silence / 1000.0));
    } else if (ended->errorString().startsWith(QLatin1String("Decompression failed"))) {
        // Qt's own words, with nothing after them for a packed bomb.
        failureText =
            FailureText("DocumentFetch", "%1's compressed form does not unpack to a sensible size")
                .arg(request.name);
    } else if (ended->error() == QNetworkReply::SslHandshakeFailedError &&
               !certificateRefusal.isEmpty()) {
        failureText = FailureText::verbatim(certificateRefusal);
    } else if (ended->error() != QNetworkReply::NoError) {
        failureText = FailureText::verbatim(ended->errorString());
    }
    if (!failureText.isEmpty())
        body.clear();
    emit finished();
}
