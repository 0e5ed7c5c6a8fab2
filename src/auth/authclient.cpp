#include "auth/authclient.h"

#include "auth/authreply.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "net/documentfetch.h"
#include "net/networkrequests.h"
#include "net/tlsfailure.h"
#include "net/tlspolicy.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

namespace {

const char signingKeyText[] = "Marrowfen_Portal_7351_k4_QuietPepperSeed";

// Above this many seconds the timer's milliseconds no longer fit in an int.
constexpr int maxHeartbeatSeconds = 2147483;

constexpr int maxLoginAttempts = 3;
constexpr qint64 loginWindowSeconds = 60;

void log(LogLevel level, const QString &message)
{
    Logger::instance().log(level, message);
}

QJsonObject parseObject(const QByteArray &body, bool *ok)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    *ok = document.isObject();
    return document.object();
}

} // namespace

AuthClient::AuthClient(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this)),
      tlsWatch(new TlsFailureWatch(networkManager)), heartbeatTimer(new QTimer(this)),
      hwid(generateHwid()), authUrl(LauncherConfig::instance().authUrl),
      signingKey(QString::fromLatin1(signingKeyText)), pingTimer(new QTimer(this)),
      logTimer(new QTimer(this)), clock([] { return QDateTime::currentSecsSinceEpoch(); })
{
    heartbeatTimer->setObjectName(QStringLiteral("heartbeatTimer"));
    pingTimer->setObjectName(QStringLiteral("pingTimer"));
    logTimer->setObjectName(QStringLiteral("logTimer"));
    connect(heartbeatTimer, &QTimer::timeout, this, &AuthClient::sendHeartbeat);
    connect(pingTimer, &QTimer::timeout, this, &AuthClient::sendPing);
    connect(logTimer, &QTimer::timeout, this, &AuthClient::sendLogBatch);
    log(Info, QStringLiteral("AuthClient initialized with HWID: %1").arg(hwid));
}

AuthClient::~AuthClient()
{
    stopHeartbeat();
}

QString AuthClient::generateHwid() const
{
    const std::array<std::uint32_t, 4> cpu = platform::cpuidLeaf0();
    QString source;
    for (std::uint32_t value : cpu)
        source += QString::number(static_cast<qint32>(value));
    source += QString::number(platform::systemVolumeSerial());
    source += QString::fromUtf8(QSysInfo::machineUniqueId());
    return QString::fromLatin1(
        QCryptographicHash::hash(source.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString AuthClient::computeSignature(const QString &message) const
{
    return QString::fromLatin1(QMessageAuthenticationCode::hash(message.toUtf8(),
                                                                signingKey.toUtf8(),
                                                                QCryptographicHash::Sha256)
                                   .toHex());
}

void AuthClient::configureSsl(QNetworkRequest &request) const
{
    applyTlsPolicy(request);
}

void AuthClient::setCredentials(const QString &login, const QString &typedPassword)
{
    accountName = login.trimmed().toLower();
    password = typedPassword;
}

void AuthClient::registerSession()
{
    refusedByServer = false;
    if (accountName.isEmpty() || password.isEmpty()) {
        log(Warn, QStringLiteral("Missing credentials"));
        emit sessionRegistered(false, tr("Missing credentials"));
        return;
    }

    // One reading of the clock serves the rate limit, the body and the signed message.
    const qint64 now = clock();
    if (loginAttempts < maxLoginAttempts) {
        ++loginAttempts;
    } else if (now - lastLoginAttempt < loginWindowSeconds) {
        const int wait = int(loginWindowSeconds - (now - lastLoginAttempt));
        log(Warn, QStringLiteral("Too many login attempts. Wait %1 seconds.").arg(wait));
        emit sessionRegistered(false,
                               tr("Too many login attempts. Wait %Ln seconds.", nullptr, wait));
        return;
    } else {
        loginAttempts = 1;
    }
    lastLoginAttempt = now;

    const QJsonObject body{
        {QStringLiteral("account_name"), accountName},
        {QStringLiteral("password"), password},
        {QStringLiteral("hwid"), hwid},
        {QStringLiteral("timestamp"), now},
        {QStringLiteral("signature"), computeSignature(accountName + hwid + QString::number(now))}};
    QNetworkReply *reply = postSessionRequest(QStringLiteral("/register"), body);
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onRegisterReply);
    log(Info, QStringLiteral("Registering session with server..."));
}

void AuthClient::startHeartbeat()
{
    int seconds = LauncherConfig::instance().heartbeatInterval;
    // A period under a second would fire without pause and flood the server.
    if (seconds < 1 || seconds > maxHeartbeatSeconds) {
        log(Warn, QStringLiteral("Heartbeat interval %1s is out of range — using %2s")
                      .arg(seconds)
                      .arg(defaultHeartbeatSeconds));
        seconds = defaultHeartbeatSeconds;
    }
    heartbeatTimer->start(seconds * 1000);
    log(Info, QStringLiteral("Heartbeat started (interval: %1s)").arg(seconds));
    sendHeartbeat();
}

void AuthClient::stopHeartbeat()
{
    if (!heartbeatTimer->isActive())
        return;
    heartbeatTimer->stop();
    log(Info, QStringLiteral("Heartbeat stopped"));
}

void AuthClient::notifyGameClosed()
{
    if (sessionId.isEmpty())
        return;
    QNetworkReply *reply = postSessionRequest(QStringLiteral("/game_closed"), sessionBody(clock()));
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onGameClosedReply);
    log(Info, QStringLiteral("Game closed notification sent to auth service"));
}

void AuthClient::deregisterSession()
{
    if (sessionId.isEmpty())
        return;
    QNetworkReply *reply = postSessionRequest(QStringLiteral("/deregister"), sessionBody(clock()));
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onDeregisterReply);
    log(Info, QStringLiteral("Deregister request sent to auth service"));
}

void AuthClient::startServerMonitoring()
{
    pingTimer->start(pingIntervalMs);
    sendPing();
    fetchRemoteConfig();
}

void AuthClient::fetchRemoteConfig()
{
    const qint64 now = clock();
    const QJsonObject body{
        {QStringLiteral("hwid"), hwid},
        {QStringLiteral("timestamp"), now},
        {QStringLiteral("signature"), computeSignature(hwid + QString::number(now))}};
    DocumentRequest request;
    request.url = serviceUrl(QStringLiteral("/api/config"));
    request.name = FailureText("AuthClient", "the remote configuration");
    request.userAgent = QByteArrayLiteral("Wardgate/1.0");
    request.post = true;
    request.postBody = QJsonDocument(body).toJson(QJsonDocument::Indented);
    request.postType = QByteArrayLiteral("application/json");
    request.sizeLimit = remoteConfigLimit;
    // The fetch happens once and nothing waits for it: no time-out for a quiet server, only a
    // deadline for the whole.
    request.silenceLimitMs = 0;
    request.deadlineMs = remoteConfigDeadlineMs;
    auto *fetch = new DocumentFetch(networkManager, request, this);
    connect(fetch, &DocumentFetch::finished, this, &AuthClient::onRemoteConfigReply);
    fetch->start();
}

void AuthClient::appendLogLine(const QString &line)
{
    if (!line.contains(QLatin1String("[WARN]")) && !line.contains(QLatin1String("[ERROR]")))
        return;
    QMutexLocker locker(&pendingLogsMutex);
    pendingLogs.append(line);
    if (pendingLogs.size() > pendingLogLimit)
        pendingLogs.removeFirst();
}

void AuthClient::flushLogs()
{
    if (sessionId.isEmpty())
        return;
    if (!logTimer->isActive())
        logTimer->start(logUploadIntervalMs);
    bool pending;
    {
        QMutexLocker locker(&pendingLogsMutex);
        pending = !pendingLogs.isEmpty();
    }
    if (pending)
        sendLogBatch();
}

void AuthClient::setClock(Clock secondsSinceEpoch)
{
    clock = std::move(secondsSinceEpoch);
}

void AuthClient::setSessionTimeout(int milliseconds)
{
    sessionTimeout = milliseconds;
}

void AuthClient::onRegisterReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    const RegisterReply answer = parseRegisterReply(reply->readAll());
    // A JSON answer is judged by "success" alone, whatever the HTTP status says.
    if (answer.isObject) {
        sessionId = answer.sessionId;
        refusedByServer = !answer.success;
        if (answer.success) {
            log(Info,
                QStringLiteral("Session registered successfully — session_id=%1").arg(sessionId));
        } else {
            log(Error, QStringLiteral("Login rejected: %1").arg(answer.message));
        }
        emit sessionRegistered(answer.success, answer.message);
        return;
    }

    const QString error = reply->error() != QNetworkReply::NoError
                              ? reply->errorString()
                              : QStringLiteral("Invalid response from server");
    log(Error, QStringLiteral("Register network error: %1").arg(error));
    emit authError(error);
    // A certificate the launcher refuses is something the player can report in those words;
    // "cannot connect" would send them looking at their own network.
    const QString certificateProblem = tlsWatch->reasonFor(reply);
    emit sessionRegistered(false, certificateProblem.isEmpty() ? tr("Cannot connect to server.")
                                                               : certificateProblem);
}

void AuthClient::onHeartbeatReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (reply->error() == QNetworkReply::NoError) {
        emit heartbeatSent();
        log(Debug, QStringLiteral("Heartbeat acknowledged"));
        return;
    }
    QString error = reply->errorString();
    const QString message = heartbeatFailureMessage(reply->readAll());
    if (!message.isEmpty())
        error = message;
    log(Warn, QStringLiteral("Heartbeat failed: %1").arg(error));
    emit authError(QStringLiteral("Heartbeat error: %1").arg(error));
}

void AuthClient::onGameClosedReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (reply->error() != QNetworkReply::NoError)
        log(Warn, QStringLiteral("game_closed notify failed: %1").arg(reply->errorString()));
    else
        log(Debug, QStringLiteral("game_closed acknowledged by server"));
}

void AuthClient::onDeregisterReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (reply->error() != QNetworkReply::NoError)
        log(Warn, QStringLiteral("Deregister failed: %1").arg(reply->errorString()));
    else
        log(Info, QStringLiteral("Deregister acknowledged by server"));
    emit deregisterFinished();
}

void AuthClient::sendHeartbeat()
{
    // The session id goes out as it is, even when empty: the server then answers with an error.
    QNetworkReply *reply = postSessionRequest(QStringLiteral("/heartbeat"), sessionBody(clock()));
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onHeartbeatReply);
    log(Debug, QStringLiteral("Heartbeat sent — session_id=%1 hwid=%2 url=%3")
                   .arg(sessionId, hwid, reply->url().toString()));
}

void AuthClient::sendPing()
{
    QNetworkReply *reply = networkManager->get(
        makeNetworkRequest(serviceUrl(QStringLiteral("/api/health")), QByteArray(), pingTimeoutMs));
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onPingReply);
}

void AuthClient::onPingReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    const bool online = reply->error() == QNetworkReply::NoError;
    const QString problem = tlsWatch->reasonFor(reply);
    if (!problem.isEmpty() && problem != offlineReason)
        log(Warn, QStringLiteral("Server status check refused: %1").arg(reply->errorString()));
    // The first answer is always news: until then the window only says "Connecting...". So is a
    // new reason for being offline.
    if (statusKnown && online == serverOnline && problem == offlineReason)
        return;
    statusKnown = true;
    serverOnline = online;
    offlineReason = problem;
    emit serverStatusChanged(online);
    log(Info, QStringLiteral("Server status: %1")
                  .arg(online ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE")));
}

void AuthClient::onRemoteConfigReply()
{
    auto *fetch = qobject_cast<DocumentFetch *>(sender());
    if (!fetch)
        return;
    fetch->deleteLater();

    if (!fetch->succeeded()) {
        log(Warn, QStringLiteral("Remote config fetch failed: %1 — using local defaults")
                      .arg(fetch->failure().logged()));
        return;
    }
    bool isObject = false;
    const QJsonObject object = parseObject(fetch->bytes(), &isObject);
    if (!isObject) {
        log(Warn, QStringLiteral("Remote config: invalid JSON"));
        return;
    }
    LauncherConfig &config = LauncherConfig::instance();
    config.applyRemoteConfig(object);
    log(Info, QStringLiteral("Remote config applied — manifest_url=%1, game_exe=%2")
                  .arg(config.manifestUrl,
                       config.gameDirectory + QLatin1Char('/') + config.gameExecutable));
}

void AuthClient::sendLogBatch()
{
    if (sessionId.isEmpty())
        return;
    QStringList batch;
    {
        QMutexLocker locker(&pendingLogsMutex);
        const qsizetype count = qMin<qsizetype>(pendingLogs.size(), logBatchSize);
        batch = pendingLogs.mid(0, count);
        pendingLogs.remove(0, count);
    }
    if (batch.isEmpty())
        return;

    // Nothing is logged here, so an upload never feeds the next batch.
    QJsonObject body = sessionBody(clock());
    body.insert(QStringLiteral("account"), accountName);
    body.insert(QStringLiteral("entries"), QJsonArray::fromStringList(batch));
    QNetworkReply *reply = postSessionRequest(QStringLiteral("/log"), body);
    connect(reply, &QNetworkReply::finished, this, &AuthClient::onLogReply);
}

void AuthClient::onLogReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
}

QUrl AuthClient::sessionUrl(const QString &path) const
{
    return QUrl(authUrl + path, QUrl::TolerantMode);
}

QUrl AuthClient::serviceUrl(const QString &path) const
{
    // Only scheme, host and port survive: the service endpoints sit at the server root.
    const QUrl base(authUrl);
    QUrl url;
    url.setScheme(base.scheme());
    url.setHost(base.host(QUrl::FullyDecoded));
    if (base.port() != -1)
        url.setPort(base.port());
    url.setPath(path);
    return url;
}

QNetworkReply *AuthClient::post(const QUrl &url, const QJsonObject &body, int timeoutMs)
{
    QNetworkRequest request = makeNetworkRequest(url, QByteArray(), timeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return networkManager->post(request, QJsonDocument(body).toJson(QJsonDocument::Indented));
}

QNetworkReply *AuthClient::postSessionRequest(const QString &path, const QJsonObject &body)
{
    // A server that accepts the connection and never answers must still end in the failure path.
    return post(sessionUrl(path), body, sessionTimeout);
}

QJsonObject AuthClient::sessionBody(qint64 timestamp) const
{
    return {{QStringLiteral("session_id"), sessionId},
            {QStringLiteral("hwid"), hwid},
            {QStringLiteral("timestamp"), timestamp},
            {QStringLiteral("signature"),
             computeSignature(sessionId + hwid + QString::number(timestamp))}};
}
