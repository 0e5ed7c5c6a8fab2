#pragma once

#include "devserver.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

// The reference auth service: session endpoints under a base path ("/register", "/heartbeat",
// "/game_closed", "/deregister", "/log"), and "/api/health" and "/api/config" at the server root.
// Every signed request is checked on its own terms (its own message forming and HMAC, the clock
// skew, the session and the machine it belongs to), never with the launcher's code. Without an
// accounts file it knows one account: "demo" with the password "demo123".
class AuthService : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString basePath = QStringLiteral("/api/auth");
        // Account name (lower case) to password, compared exactly as typed.
        QHash<QString, QString> accounts{{QStringLiteral("demo"), QStringLiteral("demo123")}};
        QByteArray signingKey = "Marrowfen_Portal_7351_k4_QuietPepperSeed";
        qint64 maxClockSkewSeconds = 300;
        // Served as it is at /api/config.
        QJsonObject remoteConfig;
    };

    struct Session
    {
        QString account;
        QString hwid;
        int heartbeats = 0;
        int gameClosedNotices = 0;
    };

    AuthService(DevServer &server, const Options &options);

    // Reads {"name": "password", ...}; names are stored in lower case. False with a readable
    // error when the file cannot be read or is not such an object.
    static bool loadAccounts(const QString &path, QHash<QString, QString> *accounts,
                             QString *error);
    // Reads a JSON object file, for the remote configuration.
    static bool loadObject(const QString &path, QJsonObject *object, QString *error);

    void setRemoteConfig(const QJsonObject &config) { options.remoteConfig = config; }
    QHash<QString, Session> sessions() const { return activeSessions; }
    // Every uploaded log line in arrival order, and the answer message of every refused request.
    QStringList uploadedLogLines() const { return logLines; }
    QStringList refusals() const { return refused; }

private:
    using Reply = DevServer::Reply;

    Reply handleRegister(const DevServer::Request &request);
    Reply handleSessionRequest(const QString &endpoint, const DevServer::Request &request);
    Reply handleConfig(const DevServer::Request &request);

    // Parses the body and checks hwid, timestamp and signature over `signedFields` + hwid +
    // timestamp. On failure returns false and sets `refusal` to the answer.
    bool verify(const DevServer::Request &request, const QStringList &signedFields,
                QJsonObject *body, Reply *refusal);
    Reply refuse(int status, const QString &message);

    Options options;
    QHash<QString, Session> activeSessions;
    QStringList logLines;
    QStringList refused;
};

// Adds the auth service's routes to `server`; the service is a child of the server.
AuthService *installAuthService(DevServer &server,
                                const AuthService::Options &options = AuthService::Options());
