#include "devserver.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QSslCertificate>
#include <QSslKey>
#include <QTimer>

#include <memory>

QByteArray DevServer::Request::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return QByteArray();
}

DevServer::Reply DevServer::Reply::json(const QJsonObject &object, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

DevServer::Reply DevServer::Reply::text(const QByteArray &body, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = "text/plain";
    return reply;
}

DevServer::Reply DevServer::Reply::file(const QString &path)
{
    Reply reply;
    reply.filePath = path;
    reply.contentType = "application/octet-stream";
    return reply;
}

DevServer::Reply DevServer::Reply::notFound()
{
    return text("Not Found", 404);
}

DevServer::DevServer(QObject *parent) : QAbstractHttpServer(parent) {}

bool DevServer::listenLoopback(quint16 port)
{
    listeningPort = listen(QHostAddress::LocalHost, port);
    return listeningPort != 0;
}

void DevServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    sslSetup(certificate, key);
    tls = true;
}

QString DevServer::rootUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(listeningPort);
}

void DevServer::addRoute(const QByteArray &method, const QString &path, Handler handler)
{
    const bool prefix = path.endsWith(QLatin1String("/*"));
    routes.append({method, prefix ? path.chopped(1) : path, prefix, std::move(handler)});
}

void DevServer::setFault(const QString &path, const Fault &fault)
{
    faults.insert(path, fault);
}

void DevServer::clearFaults()
{
    faults.clear();
}

QList<QJsonObject> DevServer::recordedRequests(const QString &path) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &entry : recorded) {
        if (entry.value(QLatin1String("path")).toString() == path)
            matching.append(entry);
    }
    return matching;
}

const DevServer::Route *DevServer::findRoute(const Request &request) const
{
    // Later routes win, so a test can override what a service registered.
    for (auto it = routes.crbegin(); it != routes.crend(); ++it) {
        if (!it->method.isEmpty() && it->method != request.method)
            continue;
        if (it->prefix ? request.path.startsWith(it->path) : request.path == it->path)
            return &*it;
    }
    return nullptr;
}

QByteArray DevServer::maskedForRecord(const QByteArray &body)
{
    QJsonParseError error;
    QJsonObject object = QJsonDocument::fromJson(body, &error).object();
    if (error.error != QJsonParseError::NoError || !object.contains(QLatin1String("password")))
        return body;
    object.insert(QLatin1String("password"), QString::fromLatin1(passwordMask));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void DevServer::record(const Request &request)
{
    QJsonObject headers;
    for (const auto &pair : request.headers)
        headers.insert(QString::fromLatin1(pair.first).toLower(), QString::fromLatin1(pair.second));
    QJsonObject entry{{"method", QString::fromLatin1(request.method)},
                      {"path", request.path},
                      {"query", request.query.toString(QUrl::FullyDecoded)},
                      {"headers", headers},
                      {"body", QString::fromUtf8(request.body)}};
    recorded.append(entry);
    if (recordFile.isEmpty())
        return;
    // The file outlives the trial and is passed around to look at: no player's password in it.
    entry.insert(QLatin1String("body"), QString::fromUtf8(maskedForRecord(request.body)));
    QFile file(recordFile);
    if (file.open(QIODevice::Append))
        file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}

void DevServer::send(QHttpServerResponder &responder, const Reply &reply)
{
    using Status = QHttpServerResponder::StatusCode;
    QFile file(reply.filePath);
    const bool fromFile = !reply.filePath.isEmpty();
    if (fromFile && (!file.open(QIODevice::ReadOnly) || !file.seek(reply.fileOffset))) {
        send(responder, Reply::notFound());
        return;
    }
    const qint64 rest = file.size() - reply.fileOffset;
    const qint64 length = !fromFile              ? reply.body.size()
                          : reply.fileLength < 0 ? rest
                                                 : qMin(reply.fileLength, rest);

    responder.writeStatusLine(static_cast<Status>(reply.status));
    responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(length));
    for (const auto &pair : reply.headers)
        responder.writeHeader(pair.first, pair.second);
    // Also for an empty file: writing a body is what ends the header block.
    if (!fromFile || length == 0) {
        responder.writeBody(reply.body);
        return;
    }
    constexpr qint64 chunkSize = 1 << 20;
    for (qint64 left = length; left > 0;) {
        const QByteArray chunk = file.read(qMin(left, chunkSize));
        if (chunk.isEmpty())
            break;
        responder.writeBody(chunk);
        left -= chunk.size();
    }
}

bool DevServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Request copy;
    copy.method = QByteArray(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(
                                 int(request.method())))
                      .toUpper();
    copy.path = request.url().path();
    copy.query = request.query();
    copy.headers = request.headers();
    copy.body = request.body();
    record(copy);

    Reply reply;
    int delayMs = 0;
    auto fault = faults.find(copy.path);
    if (fault != faults.end()) {
        delayMs = fault->delayMs;
        if (fault->failCount != 0) {
            if (fault->failCount > 0)
                --fault->failCount;
            if (fault->replaceBody) {
                reply.body = fault->body;
                reply.contentType = "application/octet-stream";
            } else {
                reply.status = fault->status;
                reply.body = fault->body;
                reply.contentType = "text/plain";
            }
        } else {
            fault = faults.end();
        }
    }
    if (fault == faults.end()) {
        const Route *route = findRoute(copy);
        reply = route ? route->handler(copy) : Reply::notFound();
    }

    if (delayMs <= 0) {
        QHttpServerResponder responder = makeResponder(request, socket);
        send(responder, reply);
        return true;
    }
    // The client may give up while the answer is held back and its socket is then deleted: the
    // socket as context drops the held answer with it instead of writing to freed memory.
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    QTimer::singleShot(delayMs, socket, [responder, reply] { send(*responder, reply); });
    return true;
}

void DevServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}
