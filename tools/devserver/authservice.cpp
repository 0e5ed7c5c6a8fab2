#include "authservice.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cmath>

namespace {

constexpr int maxLogEntriesPerBatch = 50;

QByteArray hmacSha256Hex(const QByteArray &key, const QByteArray &message)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), key.size(),
         reinterpret_cast<const unsigned char *>(message.constData()),
         static_cast<size_t>(message.size()), digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

bool isLowerHex64(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{64}$"));
    return pattern.match(text).hasMatch();
}

QString newSessionId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

} // namespace

AuthService::AuthService(DevServer &server, const Options &options)
    : QObject(&server), options(options)
{
    const QString base = options.basePath;
    server.addRoute("POST", base + QStringLiteral("/register"),
                    [this](const DevServer::Request &request) { return handleRegister(request); });
    for (const QString &endpoint : {QStringLiteral("/heartbeat"), QStringLiteral("/game_closed"),
                                    QStringLiteral("/deregister"), QStringLiteral("/log")}) {
        server.addRoute("POST", base + endpoint,
                        [this, endpoint](const DevServer::Request &request) {
                            return handleSessionRequest(endpoint, request);
                        });
    }
    server.addRoute("GET", QStringLiteral("/api/health"), [](const DevServer::Request &) {
        return Reply::json({{QStringLiteral("status"), QStringLiteral("ok")}});
    });
    server.addRoute("POST", QStringLiteral("/api/config"),
                    [this](const DevServer::Request &request) { return handleConfig(request); });
}

bool AuthService::loadAccounts(const QString &path, QHash<QString, QString> *accounts,
                               QString *error)
{
    QJsonObject object;
    if (!loadObject(path, &object, error))
        return false;
    QHash<QString, QString> loaded;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!it.value().isString() || it.key().trimmed().isEmpty()) {
            *error = QStringLiteral("%1: account \"%2\" needs a name and a password text")
                         .arg(path, it.key());
            return false;
        }
        loaded.insert(it.key().trimmed().toLower(), it.value().toString());
    }
    *accounts = loaded;
    return true;
}

bool AuthService::loadObject(const QString &path, QJsonObject *object, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1: %2 at offset %3")
                     .arg(path, parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("%1: not a JSON object").arg(path);
        return false;
    }
    *object = document.object();
    return true;
}

AuthService::Reply AuthService::handleRegister(const DevServer::Request &request)
{
    QJsonObject body;
    Reply refusal;
    if (!verify(request, {QStringLiteral("account_name")}, &body, &refusal))
        return refusal;
    const QJsonValue password = body.value(QLatin1String("password"));
    if (!password.isString())
        return refuse(400, QStringLiteral("Malformed request"));

    const QString account = body.value(QLatin1String("account_name")).toString();
    const auto known = options.accounts.constFind(account);
    if (known == options.accounts.constEnd() || *known != password.toString())
        return refuse(401, QStringLiteral("Invalid account name or password."));

    const QString id = newSessionId();
    activeSessions.insert(id, {account, body.value(QLatin1String("hwid")).toString()});
    return Reply::json({{QStringLiteral("success"), true},
                        {QStringLiteral("message"), QStringLiteral("Welcome, %1!").arg(account)},
                        {QStringLiteral("session_id"), id}});
}

AuthService::Reply AuthService::handleSessionRequest(const QString &endpoint,
                                                     const DevServer::Request &request)
{
    QJsonObject body;
    Reply refusal;
    if (!verify(request, {QStringLiteral("session_id")}, &body, &refusal))
        return refusal;

    // A session belongs to the machine that opened it.
    const QString id = body.value(QLatin1String("session_id")).toString();
    auto session = activeSessions.find(id);
    if (session == activeSessions.end() ||
        session->hwid != body.value(QLatin1String("hwid")).toString())
        return refuse(401, QStringLiteral("Unknown session"));

    if (endpoint == QLatin1String("/heartbeat")) {
        ++session->heartbeats;
    } else if (endpoint == QLatin1String("/game_closed")) {
        ++session->gameClosedNotices;
    } else if (endpoint == QLatin1String("/deregister")) {
        activeSessions.erase(session);
    } else {
        if (body.value(QLatin1String("account")).toString() != session->account)
            return refuse(400, QStringLiteral("Account does not match the session"));
        const QJsonValue entries = body.value(QLatin1String("entries"));
        if (!entries.isArray())
            return refuse(400, QStringLiteral("Malformed request"));
        const QJsonArray lines = entries.toArray();
        if (lines.size() > maxLogEntriesPerBatch)
            return refuse(413, QStringLiteral("Too many log entries in one batch"));
        for (const QJsonValue &line : lines) {
            if (!line.isString())
                return refuse(400, QStringLiteral("Malformed request"));
        }
        for (const QJsonValue &line : lines)
            logLines.append(line.toString());
    }
    return Reply::json({{QStringLiteral("success"), true}});
}

AuthService::Reply AuthService::handleConfig(const DevServer::Request &request)
{
    QJsonObject body;
    Reply refusal;
    if (!verify(request, {}, &body, &refusal))
        return refusal;
    return Reply::json(options.remoteConfig);
}

bool AuthService::verify(const DevServer::Request &request, const QStringList &signedFields,
                         QJsonObject *body, Reply *refusal)
{
    const QJsonDocument document = QJsonDocument::fromJson(request.body);
    if (!document.isObject()) {
        *refusal = refuse(400, QStringLiteral("Malformed request"));
        return false;
    }
    *body = document.object();

    QByteArray message;
    for (const QString &field : signedFields) {
        const QJsonValue value = body->value(field);
        if (!value.isString()) {
            *refusal = refuse(400, QStringLiteral("Malformed request"));
            return false;
        }
        message += value.toString().toUtf8();
    }
    const QJsonValue hwid = body->value(QLatin1String("hwid"));
    const QJsonValue timestamp = body->value(QLatin1String("timestamp"));
    const QJsonValue signature = body->value(QLatin1String("signature"));
    const double seconds = timestamp.toDouble(-1);
    if (!isLowerHex64(hwid.toString()) || !timestamp.isDouble() || seconds != std::floor(seconds) ||
        !signature.isString()) {
        *refusal = refuse(400, QStringLiteral("Malformed request"));
        return false;
    }

    const double skew = std::fabs(double(QDateTime::currentSecsSinceEpoch()) - seconds);
    if (skew > double(options.maxClockSkewSeconds)) {
        *refusal = refuse(401, QStringLiteral("Request expired: check the computer's clock"));
        return false;
    }
    const qint64 sentAt = static_cast<qint64>(seconds);

    message += hwid.toString().toUtf8() + QByteArray::number(sentAt);
    const QByteArray expected = hmacSha256Hex(options.signingKey, message);
    const QByteArray sent = signature.toString().toUtf8();
    if (sent.size() != expected.size() ||
        CRYPTO_memcmp(sent.constData(), expected.constData(), size_t(expected.size())) != 0) {
        *refusal = refuse(401, QStringLiteral("Invalid signature"));
        return false;
    }
    return true;
}

AuthService::Reply AuthService::refuse(int status, const QString &message)
{
    refused.append(message);
    return Reply::json({{QStringLiteral("success"), false}, {QStringLiteral("message"), message}},
                       status);
}

AuthService *installAuthService(DevServer &server, const AuthService::Options &options)
{
    return new AuthService(server, options);
}
