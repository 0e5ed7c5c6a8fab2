#include "net/httpreply.h"

#include "net/httpnetwork.h"
#include "net/networkrequests.h"
#include "net/tlsfailure.h"
#include "net/tlspolicy.h"

#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>

#include <cstring>

namespace {
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
    case QAbstractSocket::SslHandshakeFailedError:
        return QNetworkReply::SslHandshakeFailedError;
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
    pipelined = network->pipelines() && request.attribute(HttpNetwork::pipelineAttribute).toBool();
    if (!pipelined)
        receiveBuffer = qMax(qint64(0), request.attribute(receiveBufferAttribute).toLongLong());

    // Like Qt's transfer time-out: a transfer that makes no progress for so long is given up.
    stallLimitMs =
        request.transferTimeout() > 0 ? request.transferTimeout() : network->transferTimeout();
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, &HttpReply::onStallTimer);
    // From the event loop, as Qt's replies: whatever happens is reported to a caller that has
    // connected to the reply by then.
    const bool ownConnection = network->servesItself(request);
    QMetaObject::invokeMethod(
        this,
        [this, ownConnection] {
            if (isFinished())
                return;
            if (ownConnection)
                send();
            else
                continueInQt(this->request());
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
    const bool tls = target.scheme() == QLatin1String("https");
    const quint16 port = quint16(target.port(tls ? 443 : 80));
    // A plain and an encrypted connection to one host and port are not interchangeable.
    server = target.scheme() + QLatin1String("://") + target.host() + QLatin1Char(':') +
             QString::number(port);
    answer = HttpAnswerParser();
    answerBegun = false;
    headTaken = false;

    const QByteArray head = requestHead(request(), target);
    if (pipelined) {
        const HttpNetwork::Place where = network->place(this, server, retried);
        waiting = where.waits || where.behind;
        if (waiting) {
            stallTimer.stop();
            if (where.behind)
                where.behind->write(head);
            return;
        }
        socket = where.socket;
    } else {
        socket = retried ? nullptr : network->idleConnection(server);
    }
    reused = socket != nullptr;
    if (reused) {
        if (pipelined)
            network->takeLine(socket, server, this);
        attach();
        limitReceiveBuffers();
        socket->write(head);
    } else {
        socket = connectTo(target, port, head);
    }
    sinceProgress.start();
    if (stallLimitMs > 0)
        stallTimer.start(stallLimitMs);
}

// A new connection, which sends `head` once it is open (over TLS: once the handshake is done).
QTcpSocket *HttpReply::connectTo(const QUrl &target, quint16 port, const QByteArray &head)
{
    const bool tls = target.scheme() == QLatin1String("https");
    QSslSocket *secure = tls ? new QSslSocket : nullptr;
    socket = secure ? secure : new QTcpSocket;
    if (pipelined)
        network->takeLine(socket, server, this);
    attach();
    // Asked directly: the decision on the system's proxy has been made for this address.
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(socketBufferBytes);
    const auto sendHead = [this, head] {
        socket->write(head);
        sinceProgress.start();
    };
    connect(socket, &QTcpSocket::connected, this, [this, tls, sendHead] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Before the request: the server's first bytes already meet the small window.
        limitReceiveBuffers();
        if (!tls)
            sendHead();
    });
    if (!secure) {
        socket->connectToHost(target.host(), port);
        return socket;
    }
    tlsErrors.clear();
    // A plain request redirected here carries no TLS configuration: then the policy's.
    QNetworkRequest asked = request();
    if (asked.url().scheme() != QLatin1String("https")) {
        asked.setUrl(target);
        applyTlsPolicy(asked);
    }
    QSslConfiguration configuration = asked.sslConfiguration();
    // Kept, so that the next connection to the server resumes this one's session.
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    configuration.setSessionTicket(network->tlsSession(server));
    secure->setSslConfiguration(configuration);
    connect(secure, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { tlsErrors = errors; });
    // TLS 1.2 agrees on the session in the handshake, TLS 1.3 sends it after.
    const auto keepSession = [this, secure] {
        network->keepTlsSession(server, secure->sslConfiguration().sessionTicket());
    };
    connect(secure, &QSslSocket::encrypted, this, [sendHead, keepSession] {
        keepSession();
        sendHead();
    });
    connect(secure, &QSslSocket::newSessionTicketReceived, this, keepSession);
    secure->connectToHostEncrypted(target.host(), port);
    return secure;
}

// With a speed limit the socket and the kernel hold little unread, so the wire keeps to the
// limit and not only the writer.
void HttpReply::limitReceiveBuffers()
{
    if (receiveBuffer <= 0)
        return;
    socket->setReadBufferSize(qMin(receiveBuffer, socketBufferBytes));
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                            int(qMin<qint64>(receiveBuffer, 1 << 30)));
}

void HttpReply::attach()
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this] { readAnswer(); });
    connect(socket, &QTcpSocket::disconnected, this, &HttpReply::onClosed);
    connect(socket, &QAbstractSocket::errorOccurred, this, &HttpReply::onSocketError);
}

// The answers ahead on the connection are in: this one's comes next, and may be in the socket's
// buffer already.
void HttpReply::takeTurn(QTcpSocket *line)
{
    waiting = false;
    socket = line;
    reused = true;
    attach();
    sinceProgress.start();
    if (stallLimitMs > 0)
        stallTimer.start(stallLimitMs);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!socket || isFinished())
                return;
            if (socket->state() == QAbstractSocket::ConnectedState)
                readAnswer();
            else
                onClosed();
        },
        Qt::QueuedConnection);
}

// The connection this request waited on went before its answer came: once more on another.
void HttpReply::sendAgain()
{
    if (isFinished())
        return;
    if (retried) {
        fail(RemoteHostClosedError, QStringLiteral("Connection closed before an answer came"));
        return;
    }
    retried = true;
    send();
}

// The timer is not started again for every piece of the body (that costs more than the piece):
// when it fires it looks at how long ago the last one came.
void HttpReply::onStallTimer()
{
    const qint64 quiet = sinceProgress.elapsed();
    if (quiet < stallLimitMs)
        stallTimer.start(stallLimitMs - int(quiet));
    else
        fail(TimeoutError, QStringLiteral("the server sent nothing for %1 s")
                               .arg(QString::number(stallLimitMs / 1000.0)));
}

// Moves what the socket holds into the answer; bounded, it stops while the consumer has not
// taken what it has already been given.
void HttpReply::readAnswer(bool bounded)
{
    readQueued = false;
    paused = false;
    while (socket && !isFinished()) {
        if (bounded && readBufferSize() > 0 && buffered >= readBufferSize()) {
            paused = true;
            return;
        }
        if (socket->bytesAvailable() > 0) {
            answerBegun = true;
            sinceProgress.start();
        }
        QByteArray piece;
        switch (answer.next(socket, &piece)) {
        case HttpAnswerParser::Step::NeedMore:
            return;
        case HttpAnswerParser::Step::Head:
            if (!takeHead())
                return;
            break;
        case HttpAnswerParser::Step::Body:
            deliver(std::move(piece));
            break;
        case HttpAnswerParser::Step::Done:
            endAnswer();
            return;
        case HttpAnswerParser::Step::Failed:
            fail(ProtocolFailure, answer.error());
            return;
        }
    }
}

// False when the answer goes no further here: a redirect took over, or the consumer ended it.
bool HttpReply::takeHead()
{
    headTaken = true;
    if (followRedirect(answer.status(), answer.header("Location")))
        return false;
    total = answer.length();
    setHead(answer.status(), answer.reason(), answer.headers());
    statusError = errorForStatus(answer.status());
    emit metaDataChanged();
    return !isFinished();
}

void HttpReply::setHead(int code, const QByteArray &phrase,
                        const QList<QPair<QByteArray, QByteArray>> &fields)
{
    const QList<QByteArray> old = rawHeaderList();
    for (const QByteArray &name : old)
        setRawHeader(name, QByteArray());
    for (const auto &field : fields) {
        // Repeated fields read as one list, as Qt gives them.
        const QByteArray value = rawHeader(field.first);
        setRawHeader(field.first, value.isNull() ? field.second : value + ", " + field.second);
    }
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, code);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(phrase));
}

// True when the answer (of this reply's connection or of Qt's reply) was a redirect that this
// reply now follows (or failed on).
bool HttpReply::followRedirect(int status, const QByteArray &location)
{
    const bool redirect =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (!redirect || location.isEmpty() ||
        network->redirectPolicyFor(request()) == QNetworkRequest::ManualRedirectPolicy)
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
    // The policy allows no less safe redirect: from https:// to http:// is refused, as Qt does.
    if (url().scheme() == QLatin1String("https") && next.scheme() == QLatin1String("http")) {
        fail(InsecureRedirectError, QStringLiteral("Insecure redirect"));
        return true;
    }
    // The redirect's own body is not read: its connection goes rather than waiting for it.
    dropConnection();
    dropQtReply();
    setUrl(next);
    emit redirected(next);
    if (isFinished())
        return true;
    QNetworkRequest nextRequest = request();
    nextRequest.setUrl(next);
    nextRequest.setMaximumRedirectsAllowed(redirectsLeft);
    // The first request was plain http and carried no TLS settings: each request of the chain
    // gets its own.
    applyTlsPolicy(nextRequest);
    if (network->servesItself(nextRequest)) {
        retried = false;
        send();
    } else {
        continueInQt(nextRequest);
    }
    return true;
}

// Qt's reply gives each redirect as it is: the next request of the chain is this reply's.
void HttpReply::continueInQt(QNetworkRequest request)
{
    stallTimer.stop(); // Qt's reply keeps its own time
    tlsErrors.clear();
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    qt = network->qtReply(request);
    qt->setParent(this);
    qt->setReadBufferSize(readBufferSize());
    connect(qt, &QNetworkReply::metaDataChanged, this, [this] {
        const int status = qt->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (followRedirect(status, qt->rawHeader("Location")))
            return;
        const QVariant length = qt->header(QNetworkRequest::ContentLengthHeader);
        total = length.isValid() ? length.toLongLong() : -1;
        setHead(status, qt->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(),
                qt->rawHeaderPairs());
        emit metaDataChanged();
    });
    connect(qt, &QNetworkReply::sslErrors, this, &HttpReply::reportTlsErrors);
    connect(qt, &QNetworkReply::readyRead, this, &HttpReply::pullFromQt);
    connect(qt, &QNetworkReply::finished, this, [this] {
        QNetworkReply *done = qt;
        done->deleteLater();
        // What Qt still holds is at most its own read buffer.
        if (done->bytesAvailable() > 0)
            deliver(done->readAll());
        qt = nullptr;
        if (done->error() == NoError) {
            finish();
            return;
        }
        // A refused certificate reads as on this reply's own connections.
        const QString reason =
            done->error() == SslHandshakeFailedError ? tlsFailureText(tlsErrors) : QString();
        fail(done->error(), reason.isEmpty() ? done->errorString() : reason);
    });
}

// Takes from Qt's reply only what the read buffer has room for: what stays there stops Qt's
// connection, as this reply's own stop theirs.
void HttpReply::pullFromQt()
{
    readQueued = false;
    paused = false;
    while (qt && !isFinished() && qt->bytesAvailable() > 0) {
        const qint64 room =
            readBufferSize() > 0 ? readBufferSize() - buffered : qt->bytesAvailable();
        if (room <= 0) {
            paused = true;
            return;
        }
        deliver(qt->read(qMin(room, qt->bytesAvailable())));
    }
}

void HttpReply::dropQtReply()
{
    if (!qt)
        return;
    QNetworkReply *done = qt;
    qt = nullptr;
    done->disconnect(this);
    done->abort();
    done->deleteLater();
}

void HttpReply::takeWhatArrived()
{
    if (qt) {
        if (qt->bytesAvailable() > 0)
            deliver(qt->readAll());
        return;
    }
    if (!socket || isFinished())
        return;
    readAnswer(false);
    // Once what the kernel holds, not what the server sends meanwhile (on loopback that would
    // be the rest of the file).
    if (!socket || isFinished())
        return;
    socket->setReadBufferSize(0);
    if (socket->waitForReadyRead(0))
        readAnswer(false);
}

void HttpReply::deliver(QByteArray bytes)
{
    if (bytes.isEmpty() || isFinished())
        return;
    received += bytes.size();
    buffered += bytes.size();
    buffer.push_back(std::move(bytes));
    emit readyRead();
    if (!isFinished())
        emit downloadProgress(received, total);
}

void HttpReply::endAnswer()
{
    stallTimer.stop();
    // A connection with a small receive buffer would hold the next transfer back too.
    const bool kept = answer.keepAlive() && receiveBuffer == 0 && socket &&
                      socket->state() == QAbstractSocket::ConnectedState;
    if (pipelined && socket)
        network->noteAnswer(server, answer.http11(), kept);
    if (kept) {
        QTcpSocket *line = socket;
        line->disconnect(this);
        socket = nullptr;
        network->passOn(line, server);
    } else {
        dropConnection();
    }
    finish();
}

void HttpReply::onClosed()
{
    if (isFinished() || !socket || qt)
        return;
    readAnswer(false); // what arrived before the close
    if (isFinished())
        return;
    if (answer.endsWithClose()) {
        endAnswer(); // a body without a length ends with its connection
        return;
    }
    sendAgainOrFail(
        RemoteHostClosedError,
        headTaken ? QStringLiteral("Connection closed after %1 bytes of the body").arg(received)
                  : QStringLiteral("Connection closed before an answer came"));
}

void HttpReply::onSocketError()
{
    if (!socket || socket->error() == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
    } else if (socket->error() == QAbstractSocket::SslHandshakeFailedError) {
        // Refused, not lost: trying again would meet the same certificate.
        const QString reason = tlsFailureText(tlsErrors);
        const QString text = reason.isEmpty() ? socket->errorString() : reason;
        if (!tlsErrors.isEmpty())
            reportTlsErrors(tlsErrors);
        fail(SslHandshakeFailedError, text);
    } else {
        sendAgainOrFail(errorForSocket(socket->error()), socket->errorString());
    }
}

// The manager passes them on as its sslErrors(reply, errors), naming this reply, as it does for
// Qt's replies it hands out; the Qt reply inside this one it does not know.
void HttpReply::reportTlsErrors(QList<QSslError> errors)
{
    tlsErrors = errors;
    emit sslErrors(errors);
}

// A kept connection that failed before a byte of the answer came was most likely closed by the
// server while the request was on its way: once more on a new connection.
void HttpReply::sendAgainOrFail(NetworkError code, const QString &text)
{
    if (reused && !answerBegun && !retried) {
        retried = true;
        dropConnection();
        send();
    } else {
        fail(code, text);
    }
}

void HttpReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    statusError = NoError;
    stallTimer.stop();
    dropConnection();
    dropQtReply();
    setError(code, text);
    emit errorOccurred(code);
    setFinished(true);
    emit finished();
}

void HttpReply::finish()
{
    if (isFinished())
        return;
    if (statusError != NoError) {
        fail(statusError, QStringLiteral("Error transferring %1 - server replied: %2")
                              .arg(url().toString(), QString::fromLatin1(answer.reason())));
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
    QTcpSocket *line = socket;
    socket = nullptr;
    line->disconnect(this);
    line->abort();
    line->deleteLater();
    network->dropLine(line);
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
    if (paused && !readQueued) {
        readQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (qt)
                    pullFromQt();
                else
                    readAnswer();
            },
            Qt::QueuedConnection);
    }
    return copied;
}
