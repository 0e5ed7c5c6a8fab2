#include "auth/authclient.h"
#include "authservice.h"
#include "core/launcherconfig.h"
#include "devserver.h"
#include "net/tlspolicy.h"
#include "platform/platform.h"
#include "support/logcapture.h"
#include "support/tlsfixture.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// What every request of the auth client shares: the machine identity, the signature (checked by
// the dev server on its own), the timestamp, the envelope, URL forming and the TLS policy.
class AuthRequestsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void hwidIsFixedAndFormedFromMachineIdentity();
    void signatureMatchesKnownVectors_data();
    void signatureMatchesKnownVectors();
    void serverAcceptsEveryRequestType();
    void serverWithAnotherKeyRefuses();
    void accountTrimmedAndLoweredPasswordAsTyped();
    void oneClockReadingPerRequest();
    void envelopeAndHeaders();
    void urlForming();
    void httpsCertificates_data();
    void httpsCertificates();

private:
    std::unique_ptr<AuthClient> loggedInClient();
    static QJsonObject body(const QJsonObject &recorded);

    DevServer server;
    AuthService *service = nullptr;
};

void AuthRequestsTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    AuthService::Options options;
    options.remoteConfig = {{"server_ip", "127.0.0.1"}};
    service = installAuthService(server, options);
    QVERIFY(server.listenLoopback());
}

void AuthRequestsTest::init()
{
    LauncherConfig::instance().authUrl = server.rootUrl() + "/api/auth";
    server.clearFaults();
    server.clearRecordedRequests();
}

QJsonObject AuthRequestsTest::body(const QJsonObject &recorded)
{
    return QJsonDocument::fromJson(recorded.value("body").toString().toUtf8()).object();
}

std::unique_ptr<AuthClient> AuthRequestsTest::loggedInClient()
{
    auto client = std::make_unique<AuthClient>();
    QSignalSpy registered(client.get(), &AuthClient::sessionRegistered);
    client->setCredentials("demo", "demo123");
    client->registerSession();
    if (!registered.wait(5000) || !registered.at(0).at(0).toBool())
        return nullptr;
    return client;
}

void AuthRequestsTest::hwidIsFixedAndFormedFromMachineIdentity()
{
    testsupport::LogCapture log;
    auto client = loggedInClient();
    QVERIFY(client);
    client->fetchRemoteConfig();
    QTRY_COMPARE(server.recordedRequests("/api/config").size(), 1);

    // Formed here on its own: the CPUID registers as signed decimals, the volume serial unsigned,
    // then the machine id.
    QString source;
    for (std::uint32_t value : platform::cpuidLeaf0())
        source += QString::number(qint32(value));
    source += QString::number(platform::systemVolumeSerial());
    source += QString::fromUtf8(QSysInfo::machineUniqueId());
    const QString expected =
        QCryptographicHash::hash(source.toUtf8(), QCryptographicHash::Sha256).toHex();

    QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(expected).hasMatch());
    QCOMPARE(client->generateHwid(), expected);
    QCOMPARE(body(server.recordedRequests("/api/auth/register").value(0)).value("hwid").toString(),
             expected);
    QCOMPARE(body(server.recordedRequests("/api/config").value(0)).value("hwid").toString(),
             expected);
    QVERIFY(log.has("INFO", "AuthClient initialized with HWID: " + expected));
}

void AuthRequestsTest::signatureMatchesKnownVectors_data()
{
    // Computed with `printf '<message>' | openssl dgst -sha256 -hmac <the built-in key>`.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("signature");
    QTest::newRow("ascii") << "abc"
                           << "19e083b99c1117bf659a4672f6fe32ce6514df5c4892dc3a90622175d2772e86";
    QTest::newRow("register form")
        << "demo0123456789abcdef1700000000"
        << "9e32d73a684ce7f559e098d1fad8d409cdc0a56b71f41dad4b3342d7fc74550e";
    QTest::newRow("utf-8 bytes")
        << QString::fromUtf8("ża€1700000000")
        << "325e7a78b1977925141e933cca3058303561c7f59d8ed5f1d539613c693e3eeb";
    QTest::newRow("empty") << ""
                           << "26a6157ced34a962e021d7c9776f5b45e7c5c501bd67aae586364367065bfe6e";
}

void AuthRequestsTest::signatureMatchesKnownVectors()
{
    QFETCH(QString, message);
    QFETCH(QString, signature);
    AuthClient client;
    QCOMPARE(client.computeSignature(message), signature);
}

void AuthRequestsTest::serverAcceptsEveryRequestType()
{
    testsupport::LogCapture log;
    auto client = loggedInClient();
    QVERIFY(client);
    const int refusalsBefore = service->refusals().size();
    const int sessionsBefore = service->sessions().size();

    QSignalSpy heartbeats(client.get(), &AuthClient::heartbeatSent);
    client->sendHeartbeat();
    QVERIFY(heartbeats.wait(5000));
    client->notifyGameClosed();
    QTRY_VERIFY(log.has("DEBUG", "game_closed acknowledged by server"));
    client->appendLogLine("[2026-01-01 10:00:00] [WARN] something odd");
    client->sendLogBatch();
    QTRY_COMPARE(service->uploadedLogLines().size(), 1);
    client->fetchRemoteConfig();
    QTRY_VERIFY(log.has("INFO", "Remote config applied — manifest_url=, game_exe=./"));
    QCOMPARE(LauncherConfig::instance().serverIp, QString("127.0.0.1"));
    QSignalSpy deregistered(client.get(), &AuthClient::deregisterFinished);
    client->deregisterSession();
    QVERIFY(deregistered.wait(5000));
    QVERIFY(log.has("INFO", "Deregister acknowledged by server"));

    QCOMPARE(service->refusals().size(), refusalsBefore);
    QCOMPARE(service->sessions().size(), sessionsBefore - 1);
}

void AuthRequestsTest::serverWithAnotherKeyRefuses()
{
    DevServer other;
    AuthService::Options options;
    options.signingKey = "another key entirely";
    AuthService *strict = installAuthService(other, options);
    QVERIFY(other.listenLoopback());
    LauncherConfig::instance().authUrl = other.rootUrl() + "/api/auth";

    testsupport::LogCapture log;
    AuthClient client;
    QSignalSpy registered(&client, &AuthClient::sessionRegistered);
    client.setCredentials("demo", "demo123");
    client.registerSession();
    QVERIFY(registered.wait(5000));
    QCOMPARE(registered.at(0).at(0).toBool(), false);
    QCOMPARE(registered.at(0).at(1).toString(), QString("Invalid signature"));
    client.fetchRemoteConfig();
    QTRY_COMPARE(strict->refusals().size(), 2);
    QCOMPARE(strict->refusals(), QStringList({"Invalid signature", "Invalid signature"}));
    QTRY_COMPARE(log.messages("WARN").filter("Remote config fetch failed: ").size(), 1);
}

void AuthRequestsTest::accountTrimmedAndLoweredPasswordAsTyped()
{
    DevServer other;
    AuthService::Options options;
    options.accounts = {{"mixedcase", "  Pass Word  "}};
    installAuthService(other, options);
    QVERIFY(other.listenLoopback());
    LauncherConfig::instance().authUrl = other.rootUrl() + "/api/auth";

    AuthClient client;
    QSignalSpy registered(&client, &AuthClient::sessionRegistered);
    client.setCredentials("  MixedCase \t", "  Pass Word  ");
    client.registerSession();
    QVERIFY(registered.wait(5000));
    QVERIFY2(registered.at(0).at(0).toBool(), qPrintable(registered.at(0).at(1).toString()));

    const QJsonObject sent = body(other.recordedRequests("/api/auth/register").value(0));
    QCOMPARE(sent.value("account_name").toString(), QString("mixedcase"));
    QCOMPARE(sent.value("password").toString(), QString("  Pass Word  "));
    const QString message = "mixedcase" + sent.value("hwid").toString() +
                            QString::number(sent.value("timestamp").toInteger());
    QCOMPARE(sent.value("signature").toString(), client.computeSignature(message));
}

void AuthRequestsTest::oneClockReadingPerRequest()
{
    // A clock that moves on at every reading: a request that read it twice would sign another
    // second than it sends, and the server would refuse it.
    const qint64 start = QDateTime::currentSecsSinceEpoch();
    qint64 readings = 0;
    auto client = std::make_unique<AuthClient>();
    client->setClock([&] { return start + readings++; });
    QSignalSpy registered(client.get(), &AuthClient::sessionRegistered);
    client->setCredentials("demo", "demo123");
    client->registerSession();
    QVERIFY(registered.wait(5000));
    QVERIFY(registered.at(0).at(0).toBool());

    const int refusalsBefore = service->refusals().size();
    QSignalSpy heartbeats(client.get(), &AuthClient::heartbeatSent);
    client->sendHeartbeat();
    client->appendLogLine("[ERROR] x");
    client->sendLogBatch();
    client->fetchRemoteConfig();
    QVERIFY(heartbeats.wait(5000));
    QTRY_COMPARE(server.recordedRequests("/api/config").size(), 1);
    QTRY_COMPARE(service->uploadedLogLines().last(), QString("[ERROR] x"));
    QCOMPARE(service->refusals().size(), refusalsBefore);
    QCOMPARE(readings, 4);

    // The last three go out on parallel connections and may arrive in any order.
    QStringList sent;
    for (const QJsonObject &request : server.recordedRequests())
        sent << request.value("path").toString() + "@" +
                    QString::number(body(request).value("timestamp").toInteger() - start);
    sent.sort();
    QCOMPARE(sent, QStringList({"/api/auth/heartbeat@1", "/api/auth/log@2", "/api/auth/register@0",
                                "/api/config@3"}));
}

void AuthRequestsTest::envelopeAndHeaders()
{
    auto client = loggedInClient();
    QVERIFY(client);
    client->sendPing();
    client->fetchRemoteConfig();
    QTRY_COMPARE(server.recordedRequests("/api/config").size(), 1);
    QTRY_COMPARE(server.recordedRequests("/api/health").size(), 1);

    const QJsonObject registerRequest = server.recordedRequests("/api/auth/register").value(0);
    const QString text = registerRequest.value("body").toString();
    // Indented JSON, keys in sorted order.
    QVERIFY2(text.startsWith("{\n    \"account_name\": \"demo\",\n    \"hwid\": \""),
             qPrintable(text));
    const QStringList keys = {"account_name", "hwid", "password", "signature", "timestamp"};
    qsizetype previous = -1;
    for (const QString &key : keys) {
        const qsizetype at = text.indexOf("\"" + key + "\":");
        QVERIFY2(at > previous, qPrintable(key));
        previous = at;
    }
    QVERIFY(body(registerRequest).value("timestamp").isDouble());

    const QJsonObject headers = registerRequest.value("headers").toObject();
    QCOMPARE(registerRequest.value("method").toString(), QString("POST"));
    QCOMPARE(headers.value("content-type").toString(), QString("application/json"));
    // Only the configuration request names the launcher; the others carry the network layer's own.
    QVERIFY(headers.value("user-agent").toString() != "Wardgate/1.0");
    QVERIFY(!headers.contains("authorization"));

    const QJsonObject config = server.recordedRequests("/api/config").value(0);
    QCOMPARE(config.value("headers").toObject().value("user-agent").toString(),
             QString("Wardgate/1.0"));
    QCOMPARE(body(config).keys(), QStringList({"hwid", "signature", "timestamp"}));

    const QJsonObject health = server.recordedRequests("/api/health").value(0);
    QCOMPARE(health.value("method").toString(), QString("GET"));
    QVERIFY(health.value("body").toString().isEmpty());
    QVERIFY(!health.value("headers").toObject().contains("content-type"));
    QVERIFY(health.value("headers").toObject().value("user-agent").toString() != "Wardgate/1.0");
}

void AuthRequestsTest::urlForming()
{
    // Session endpoints are appended as text, so a trailing slash stays doubled; the service
    // endpoints sit at the server root whatever the base path.
    LauncherConfig::instance().authUrl = server.rootUrl() + "/deep/base/";
    AuthClient client;
    QSignalSpy registered(&client, &AuthClient::sessionRegistered);
    client.setCredentials("demo", "demo123");
    client.registerSession();
    client.sendHeartbeat();
    client.sendPing();
    client.fetchRemoteConfig();
    QVERIFY(registered.wait(5000));
    QTRY_COMPARE(server.recordedRequests().size(), 4);

    QStringList paths;
    for (const QJsonObject &request : server.recordedRequests())
        paths << request.value("path").toString();
    paths.sort();
    QCOMPARE(paths, QStringList({"/api/config", "/api/health", "/deep/base//heartbeat",
                                 "/deep/base//register"}));
}

void AuthRequestsTest::httpsCertificates_data()
{
    QTest::addColumn<QString>("commonName");
    QTest::addColumn<QString>("altName");
    QTest::addColumn<bool>("expired");
    QTest::addColumn<bool>("caFile");
    // Empty: the login succeeds and the server is online.
    QTest::addColumn<QString>("playerSees");

    QTest::newRow("self-signed, no CA file")
        << "127.0.0.1"
        << "IP:127.0.0.1" << false << false << "The server's certificate is not trusted.";
    QTest::newRow("self-signed, trusted through the CA file")
        << "127.0.0.1"
        << "IP:127.0.0.1" << false << true << "";
    QTest::newRow("expired") << "127.0.0.1"
                             << "IP:127.0.0.1" << true << true
                             << "The server's certificate has expired.";
    QTest::newRow("another name") << "localhost"
                                  << "DNS:localhost" << false << true
                                  << "The server's certificate is for another name.";
}

// The peer is verified, a CA file of the operator's is trusted besides the system's, and a
// refused certificate reaches the player as its reason rather than as "cannot connect".
void AuthRequestsTest::httpsCertificates()
{
    QFETCH(QString, commonName);
    QFETCH(QString, altName);
    QFETCH(bool, expired);
    QFETCH(bool, caFile);
    QFETCH(QString, playerSees);

    QTemporaryDir dir;
    testsupport::SelfSignedCertificate tls;
    testsupport::CertificateOptions options;
    options.commonName = commonName;
    options.subjectAltName = altName;
    options.expired = expired;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &tls, &error, options),
             qPrintable(error));
    DevServer secure;
    secure.useTls(tls.certificate, tls.key);
    AuthService *secureService = installAuthService(secure);
    QVERIFY(secure.listenLoopback());
    QVERIFY(secure.rootUrl().startsWith("https://"));
    LauncherConfig::instance().authUrl = secure.rootUrl() + "/api/auth";
    if (caFile)
        QVERIFY2(trustCaCertificatesFile(tls.certificatePath, &error), qPrintable(error));
    const auto untrust = qScopeGuard([] { setExtraCaCertificates({}); });

    AuthClient client;
    QSignalSpy registered(&client, &AuthClient::sessionRegistered);
    QSignalSpy status(&client, &AuthClient::serverStatusChanged);
    client.setCredentials("demo", "demo123");
    client.registerSession();
    client.sendPing();
    QVERIFY(registered.wait(10000));
    QTRY_COMPARE(status.size(), 1);
    const bool trusted = playerSees.isEmpty();
    QCOMPARE(registered.at(0).at(0).toBool(), trusted);
    if (!trusted)
        QCOMPARE(registered.at(0).at(1).toString(), playerSees);
    QCOMPARE(status.at(0).at(0).toBool(), trusted);
    QCOMPARE(client.connectionProblem(), playerSees);
    QCOMPARE(secureService->sessions().size(), trusted ? 1 : 0);
}

QTEST_GUILESS_MAIN(AuthRequestsTest)
#include "tst_authrequests.moc"
