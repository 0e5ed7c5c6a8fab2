#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QTimer;
class TlsFailureWatch;
class QUrl;

// The launcher's one client of the server's auth service: machine identity and request signing,
// the session (register, heartbeat, game closed, deregister), the health check, the remote
// configuration and the upload of the launcher's own warning and error lines. Lives on the GUI
// thread; only appendLogLine may be called from other threads.
class AuthClient : public QObject
{
    Q_OBJECT

public:
    explicit AuthClient(QObject *parent = nullptr);
    ~AuthClient() override;

    QString generateHwid() const;
    QString computeSignature(const QString &message) const;
    // The request factory applies the same policy to every request the client sends.
    void configureSsl(QNetworkRequest &request) const;

    void setCredentials(const QString &login, const QString &typedPassword);
    // The account name as stored by setCredentials: trimmed and in lower case.
    QString account() const { return accountName; }
    void registerSession();
    // The last login was answered by the server, and refused (a wrong password, for one); false
    // after a network failure, the rate limit or a success.
    bool loginRefused() const { return refusedByServer; }
    void startHeartbeat();
    void stopHeartbeat();
    void notifyGameClosed();
    void deregisterSession();

    void startServerMonitoring();
    // Why the last status check failed when the server's certificate was refused, in the
    // player's words; empty while the server is online or simply unreachable.
    QString connectionProblem() const { return offlineReason; }
    void fetchRemoteConfig();
    // Called by the log's listener on whichever thread logs, under the log's lock: it never logs.
    void appendLogLine(const QString &line);
    void flushLogs();

    // Seconds since the epoch; tests replace the wall clock to play out the login rate limit.
    using Clock = std::function<qint64()>;
    void setClock(Clock secondsSinceEpoch);
    // Transfer time-out of the session requests; tests shorten it instead of waiting 30 s.
    void setSessionTimeout(int milliseconds);

    static constexpr int defaultHeartbeatSeconds = 45;
    static constexpr int sessionTimeoutMs = 30000;
    static constexpr int pingIntervalMs = 15000;
    static constexpr int pingTimeoutMs = 5000;
    static constexpr int logUploadIntervalMs = 30000;
    static constexpr int logBatchSize = 50;
    // The remote configuration is a few keys; one that grows past this, or has not arrived after
    // the deadline, is no configuration.
    static constexpr qint64 remoteConfigLimit = 1024 * 1024;
    static constexpr int remoteConfigDeadlineMs = 30000;
    static constexpr int pendingLogLimit = 200;

signals:
    void sessionRegistered(bool success, const QString &message);
    void heartbeatSent();
    void authError(const QString &error);
    void serverStatusChanged(bool online);
    void deregisterFinished();

public slots:
    void onRegisterReply();
    void onHeartbeatReply();
    void onGameClosedReply();
    void onDeregisterReply();
    void sendHeartbeat();
    void sendPing();
    void onPingReply();
    void onRemoteConfigReply();
    void sendLogBatch();
    void onLogReply();

private:
    QUrl sessionUrl(const QString &path) const;
    QUrl serviceUrl(const QString &path) const;
    QNetworkReply *post(const QUrl &url, const QJsonObject &body, int timeoutMs);
    QNetworkReply *postSessionRequest(const QString &path, const QJsonObject &body);
    QJsonObject sessionBody(qint64 timestamp) const;

    QNetworkAccessManager *networkManager;
    TlsFailureWatch *tlsWatch;
    QTimer *heartbeatTimer;
    QString hwid;
    QString accountName;
    QString password;
    QString sessionId;
    QString authUrl;
    QString signingKey;
    QTimer *pingTimer;
    QTimer *logTimer;
    bool serverOnline = false;
    bool statusKnown = false;
    QString offlineReason;
    QStringList pendingLogs;
    qint32 loginAttempts = 0;
    qint64 lastLoginAttempt = 0;
    bool refusedByServer = false;

    // Guards pendingLogs: filled by whichever thread logs, emptied by the upload on the GUI thread.
    mutable QMutex pendingLogsMutex;
    Clock clock;
    int sessionTimeout = sessionTimeoutMs;
};
