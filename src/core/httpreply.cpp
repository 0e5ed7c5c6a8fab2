#include "core/httpreply.h"

#include "core/httpnetwork.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include <cstring>

namespace {
// A head longer than this is not an answer worth reading.
constexpr qint64 maxHeadBytes = 64 * 1024;
// What the socket itself reads ahead of the body's consumer.
constexpr qint64 socketBufferBytes = 1024 * 1024;

QByteArray requestHead(const QNetworkRequest &request, const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());

    QByteArray head = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (!request.hasRawHeader("User-Agent"))
        head += "User-Agent: Mozilla/5.0\r\n"; // what Qt sends
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        const QByteArray value = request.rawHeader(name);
        if (name.compare("Host", Qt::CaseInsensitive) != 0 && !value.contains('\r') &&
            !value.contains('\n'))
            head += name + ": " + value + "\r\n";
    }
    // No Accept-Encoding unless asked: the body is the file's own bytes, never a packed form.
    return head + "\r\n";
}

QByteArray headerValue(const QList<QPair<QByteArray, QByteArray>> &headers, const char *name)
{
    QByteArray value;
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            value += (value.isEmpty() ? "" : ", ") + header.second;
    }
    return value;
}

bool hasToken(const QByteArray &list, const char *token)
{
    const QList<QByteArray> items = list.split(',');
    for (const QByteArray &item : items) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 400:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status >= 500   ? QNetworkReply::UnknownServerError
               : status >= 400 ? QNetworkReply::UnknownContentError
                               : QNetworkReply::NoError;
    }
}

QNetworkReply::NetworkError errorForSocket(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}
} // namespace

HttpReply::HttpReply(HttpNetwork *network, const QNetworkRequest &request)
    : QNetworkReply(network), network(network)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly);
    redirectsLeft = request.maximumRedirectsAllowed();

    // Like Qt's transfer time-out: a transfer that makes no progress for so long is given up.
    stallLimitMs =
        request.transferTimeout() > 0 ? request.transferTimeout() : network->transferTimeout();
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, &HttpReply::onStallTimer);
    // From the event loop, as Qt's replies: whatever happens is reported to a caller that has
    // connected to the reply by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!isFinished())
                send();
        },
        Qt::QueuedConnection);
}

HttpReply::~HttpReply()
{
    dropConnection();
}

void HttpReply::send()
{
    const QUrl target = url();
    const quint16 port = quint16(target.port(80));
    server = target.host() + QLatin1Char(':') + QString::number(port);
    stage = Stage::Head;
    answerBegun = false;
    status = 0;
    headers.clear();
    headBytes = 0;

    const QByteArray head = requestHead(request(), target);
    socket = retried ? nullptr : network->idleConnection(server);
    reused = socket != nullptr;
    if (!socket)
        socket = new QTcpSocket;
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this] { readAnswer(); });
    connect(socket, &QTcpSocket::disconnected, this, &HttpReply::onClosed);
    connect(socket, &QAbstractSocket::errorOccurred, this, &HttpReply::onSocketError);
    if (reused) {
        socket->write(head);
    } else {
        // Asked directly: the decision on the system's proxy has been made for this address.
        socket->setProxy(QNetworkProxy::NoProxy);
        socket->setReadBufferSize(socketBufferBytes);
        connect(socket, &QTcpSocket::connected, this, [this, head] {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket->write(head);
            sinceProgress.start();
        });
        socket->connectToHost(target.host(), port);
    }
    sinceProgress.start();
    if (stallLimitMs > 0)
        stallTimer.start(stallLimitMs);
}

// The timer is not started again for every piece of the body (that costs more than the piece):
// when it fires it looks at how long ago the last one came.
void HttpReply::onStallTimer()
{
    const qint64 quiet = sinceProgress.elapsed();
    if (quiet < stallLimitMs)
        stallTimer.start(stallLimitMs - int(quiet));
    else
        fail(TimeoutError, QStringLiteral("No data for %1 s").arg(quiet / 1000.0));
}

// Moves what the socket holds into the answer; bounded, it stops while the consumer has not
// taken what it has already been given.
void HttpReply::readAnswer(bool bounded)
{
    readQueued = false;
    while (socket && stage != Stage::Done && socket->bytesAvailable() > 0) {
        if (bounded && readBufferSize() > 0 && buffered >= readBufferSize())
            return;
        answerBegun = true;
        sinceProgress.start();
        bool more = false;
        switch (stage) {
        case Stage::Head:
            more = readHead();
            break;
        case Stage::Body:
        case Stage::ChunkData:
            more = readBody();
            break;
        case Stage::ChunkSize:
        case Stage::ChunkEnd:
        case Stage::Trailer:
            more = readChunkLine();
            break;
        case Stage::Done:
            break;
        }
        if (!more)
            return;
    }
}

bool HttpReply::readLine(QByteArray *line)
{
    if (!socket->canReadLine()) {
        if (headBytes + socket->bytesAvailable() > maxHeadBytes)
            fail(ProtocolFailure, QStringLiteral("The server's answer has a line too long"));
        return false;
    }
    *line = socket->readLine();
    headBytes += line->size();
    if (headBytes > maxHeadBytes) {
        fail(ProtocolFailure, QStringLiteral("The server's answer has a head too long"));
        return false;
    }
    line->chop(line->endsWith("\r\n") ? 2 : 1);
    return true;
}

bool HttpReply::readHead()
{
    QByteArray line;
    while (readLine(&line)) {
        if (status == 0) {
            // "HTTP/1.1 200 OK"
            const bool valid = line.size() >= 12 && line.startsWith("HTTP/1.") && line[8] == ' ';
            status = valid ? line.mid(9, 3).toInt() : 0;
            if (status < 100 || status > 999) {
                fail(ProtocolFailure, QStringLiteral("The server's answer is not HTTP"));
                return false;
            }
            http10 = line[7] == '0';
            reason = line.mid(13);
        } else if (!line.isEmpty()) {
            if ((line[0] == ' ' || line[0] == '\t') && !headers.isEmpty()) {
                headers.last().second += ' ' + line.trimmed();
                continue;
            }
            const int colon = line.indexOf(':');
            if (colon <= 0) {
                fail(ProtocolFailure, QStringLiteral("The server's answer has a broken header"));
                return false;
            }
            headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        } else if (status < 200) {
            // An interim answer (100 Continue, 103 Early Hints); the real one follows.
            status = 0;
            headers.clear();
        } else {
            return startBody();
        }
    }
    return false;
}

bool HttpReply::startBody()
{
    const QByteArray lengthText = headerValue(headers, "Content-Length");
    const bool chunked = hasToken(headerValue(headers, "Transfer-Encoding"), "chunked");
    const QByteArray connection = headerValue(headers, "Connection");
    keepAlive = http10 ? hasToken(connection, "keep-alive") : !hasToken(connection, "close");
    if (chunked) {
        left = 0;
    } else if (status == 204 || status == 304) {
        left = 0;
    } else if (!lengthText.isEmpty()) {
        // Several lengths that differ (or one that is no number) leave the body's end unknown.
        const QList<QByteArray> lengths = lengthText.split(',');
        bool number = false;
        left = lengths.first().trimmed().toLongLong(&number);
        for (const QByteArray &length : lengths)
            number = number && length.trimmed().toLongLong() == left;
        if (!number || left < 0) {
            fail(ProtocolFailure, QStringLiteral("The server's answer has an invalid length"));
            return false;
        }
    } else {
        left = -1;
        keepAlive = false;
    }
    total = chunked ? -1 : left;
    if (followRedirect())
        return false;
    setHead(status, reason, headers);
    statusError = errorForStatus(status);
    emit metaDataChanged();
    if (stage == Stage::Done)
        return false;
    stage = chunked ? Stage::ChunkSize : Stage::Body;
    if (!chunked && left == 0) {
        endAnswer();
        return false;
    }
    return true;
}

bool HttpReply::readBody()
{
    const qint64 available = socket->bytesAvailable();
    QByteArray bytes = socket->read(left < 0 ? available : qMin(left, available));
    if (left > 0)
        left -= bytes.size();
    deliver(std::move(bytes));
    if (stage == Stage::Done)
        return false;
    if (left == 0) {
        if (stage == Stage::Body) {
            endAnswer();
            return false;
        }
        stage = Stage::ChunkEnd;
    }
    return true;
}

bool HttpReply::readChunkLine()
{
    if (stage != Stage::Trailer)
        headBytes = 0; // each chunk's line is bounded on its own
    QByteArray line;
    if (!readLine(&line))
        return false;
    switch (stage) {
    case Stage::ChunkSize: {
        const int extension = line.indexOf(';');
        bool number = false;
        left = line.left(extension < 0 ? line.size() : extension).trimmed().toLongLong(&number, 16);
        if (!number || left < 0) {
            fail(ProtocolFailure, QStringLiteral("The server's answer has a broken chunk"));
            return false;
        }
        stage = left == 0 ? Stage::Trailer : Stage::ChunkData;
        headBytes = 0;
        break;
    }
    case Stage::ChunkEnd:
        if (!line.isEmpty()) {
            fail(ProtocolFailure, QStringLiteral("The server's answer has a broken chunk"));
            return false;
        }
        stage = Stage::ChunkSize;
        break;
    default: // the trailer's fields are of no use here; an empty line ends it and the answer
        if (line.isEmpty()) {
            endAnswer();
            return false;
        }
    }
    return true;
}

void HttpReply::setHead(int code, const QByteArray &phrase, const Headers &fields)
{
    const QList<QByteArray> old = rawHeaderList();
    for (const QByteArray &name : old)
        setRawHeader(name, QByteArray());
    for (const auto &field : fields) {
        // Repeated fields read as one list, as Qt gives them.
        if (!hasRawHeader(field.first))
            setRawHeader(field.first, headerValue(fields, field.first.constData()));
    }
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, code);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(phrase));
}

// True when the answer was a redirect that this reply now follows (or failed on).
bool HttpReply::followRedirect()
{
    const QByteArray location = headerValue(headers, "Location");
    const bool redirect =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    const int policy =
        request()
            .attribute(QNetworkRequest::RedirectPolicyAttribute, int(network->redirectPolicy()))
            .toInt();
    if (!redirect || location.isEmpty() || policy == QNetworkRequest::ManualRedirectPolicy)
        return false;
    const QUrl next = url().resolved(QUrl::fromEncoded(location));
    if (redirectsLeft-- <= 0) {
        fail(TooManyRedirectsError, QStringLiteral("Too many redirects"));
        return true;
    }
    if (next.scheme() != QLatin1String("http") && next.scheme() != QLatin1String("https")) {
        fail(ProtocolUnknownError,
             QStringLiteral("Redirect to an unsupported address: %1").arg(next.toString()));
        return true;
    }
    // The redirect's own body is not read: its connection goes rather than waiting for it.
    dropConnection();
    setUrl(next);
    emit redirected(next);
    if (stage == Stage::Done)
        return true;
    QNetworkRequest nextRequest = request();
    nextRequest.setUrl(next);
    nextRequest.setMaximumRedirectsAllowed(redirectsLeft);
    if (network->servesItself(nextRequest)) {
        retried = false;
        send();
    } else {
        continueInQt(nextRequest);
    }
    return true;
}

void HttpReply::continueInQt(const QNetworkRequest &request)
{
    stallTimer.stop(); // Qt's reply keeps its own time
    qt = network->qtReply(request);
    qt->setParent(this);
    qt->setReadBufferSize(readBufferSize());
    connect(qt, &QNetworkReply::metaDataChanged, this, [this] {
        total = qt->header(QNetworkRequest::ContentLengthHeader).isValid()
                    ? qt->header(QNetworkRequest::ContentLengthHeader).toLongLong()
                    : -1;
        setHead(qt->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                qt->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(),
                qt->rawHeaderPairs());
        emit metaDataChanged();
    });
    connect(qt, &QNetworkReply::redirected, this, [this](const QUrl &next) {
        setUrl(next);
        emit redirected(next);
    });
    connect(qt, &QNetworkReply::readyRead, this, [this] { deliver(qt->readAll()); });
    connect(qt, &QNetworkReply::finished, this, [this] {
        QNetworkReply *done = qt;
        done->deleteLater();
        if (done->bytesAvailable() > 0)
            deliver(done->readAll());
        qt = nullptr;
        if (done->error() != NoError)
            fail(done->error(), done->errorString());
        else
            finish();
    });
}

void HttpReply::deliver(QByteArray bytes)
{
    if (bytes.isEmpty() || stage == Stage::Done)
        return;
    received += bytes.size();
    buffered += bytes.size();
    buffer.push_back(std::move(bytes));
    emit readyRead();
    if (stage != Stage::Done)
        emit downloadProgress(received, total);
}

void HttpReply::endAnswer()
{
    stallTimer.stop();
    if (keepAlive && socket && socket->state() == QAbstractSocket::ConnectedState &&
        socket->bytesAvailable() == 0) {
        socket->disconnect(this);
        network->keepConnection(socket, server);
        socket = nullptr;
    } else {
        dropConnection();
    }
    finish();
}

void HttpReply::onClosed()
{
    if (stage == Stage::Done || !socket || qt)
        return;
    readAnswer(false); // what arrived before the close
    if (stage == Stage::Done)
        return;
    if (stage == Stage::Body && left < 0) {
        endAnswer(); // a body without a length ends with its connection
    } else if (reused && !answerBegun && !retried) {
        // The server closed the kept connection while the request was on its way: once more on
        // a new connection, as nothing of the answer came.
        retried = true;
        dropConnection();
        send();
    } else {
        fail(RemoteHostClosedError,
             stage == Stage::Head
                 ? QStringLiteral("Connection closed before an answer came")
                 : QStringLiteral("Connection closed after %1 bytes of the body").arg(received));
    }
}

void HttpReply::onSocketError()
{
    if (!socket || socket->error() == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
    } else if (reused && !answerBegun && !retried) {
        retried = true;
        dropConnection();
        send();
    } else {
        fail(errorForSocket(socket->error()), socket->errorString());
    }
}

void HttpReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    statusError = NoError;
    stage = Stage::Done;
    stallTimer.stop();
    dropConnection();
    if (qt) {
        qt->disconnect(this);
        qt->abort();
    }
    setError(code, text);
    emit errorOccurred(code);
    setFinished(true);
    emit finished();
}

void HttpReply::finish()
{
    if (isFinished())
        return;
    stage = Stage::Done;
    if (statusError != NoError) {
        const NetworkError code = statusError;
        statusError = NoError;
        fail(code, QStringLiteral("Error transferring %1 - server replied: %2")
                       .arg(url().toString(), QString::fromLatin1(reason)));
        return;
    }
    setFinished(true);
    emit readChannelFinished();
    emit finished();
}

void HttpReply::abort()
{
    if (!isFinished())
        fail(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void HttpReply::dropConnection()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

qint64 HttpReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + buffered;
}

qint64 HttpReply::readData(char *data, qint64 maxSize)
{
    qint64 copied = 0;
    while (copied < maxSize && !buffer.empty()) {
        const QByteArray &front = buffer.front();
        const qint64 count = qMin(maxSize - copied, qint64(front.size()) - frontOffset);
        std::memcpy(data + copied, front.constData() + frontOffset, size_t(count));
        copied += count;
        frontOffset += count;
        if (frontOffset == front.size()) {
            buffer.pop_front();
            frontOffset = 0;
        }
    }
    buffered -= copied;
    if (copied == 0 && isFinished())
        return -1;
    // Reading had stopped for the consumer; it goes on once this call is over.
    if (socket && socket->bytesAvailable() > 0 && !readQueued) {
        readQueued = true;
        QMetaObject::invokeMethod(
            this, [this] { readAnswer(); }, Qt::QueuedConnection);
    }
    return copied;
}
