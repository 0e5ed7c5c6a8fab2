#include "authservice.h"
#include "devserver.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

// The reference auth service's own checks, driven by requests signed here in the test.
class AuthServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void registerChecks_data();
    void registerChecks();
    void sessionChecks();
    void healthAndConfigAtRoot();
    void accountsFile_data();
    void accountsFile();
    void servesHttps();

private:
    struct Result
    {
        int status = 0;
        QJsonObject body;
    };
    Result post(const QString &path, const QJsonObject &body);
    Result postRaw(const QString &path, const QByteArray &body);
    static QString sign(const QString &message);
    static QJsonObject registerBody(const QString &account, const QString &password,
                                    qint64 timestamp);
    static QJsonObject sessionBody(const QString &sessionId, const QString &machine,
                                   qint64 timestamp);
    QString login();

    static const QString hwid;
    DevServer server;
    AuthService *service = nullptr;
    QNetworkAccessManager network;
};

const QString AuthServiceTest::hwid = QString(64, QChar('a'));

void AuthServiceTest::initTestCase()
{
    AuthService::Options options;
    options.basePath = "/v2/auth";
    options.accounts = {{"demo", "demo123"}, {"spaced", " pass "}};
    options.remoteConfig = {{"manifest_url", "http://127.0.0.1/manifest.json"}};
    service = installAuthService(server, options);
    QVERIFY(server.listenLoopback());
}

QString AuthServiceTest::sign(const QString &message)
{
    return QMessageAuthenticationCode::hash(message.toUtf8(),
                                            "Marrowfen_Portal_7351_k4_QuietPepperSeed",
                                            QCryptographicHash::Sha256)
        .toHex();
}

QJsonObject AuthServiceTest::registerBody(const QString &account, const QString &password,
                                          qint64 timestamp)
{
    return {{"account_name", account},
            {"password", password},
            {"hwid", hwid},
            {"timestamp", timestamp},
            {"signature", sign(account + hwid + QString::number(timestamp))}};
}

QJsonObject AuthServiceTest::sessionBody(const QString &sessionId, const QString &machine,
                                         qint64 timestamp)
{
    return {{"session_id", sessionId},
            {"hwid", machine},
            {"timestamp", timestamp},
            {"signature", sign(sessionId + machine + QString::number(timestamp))}};
}

AuthServiceTest::Result AuthServiceTest::postRaw(const QString &path, const QByteArray &body)
{
    QNetworkRequest request(QUrl(server.rootUrl() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = network.post(request, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    reply->deleteLater();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            QJsonDocument::fromJson(reply->readAll()).object()};
}

AuthServiceTest::Result AuthServiceTest::post(const QString &path, const QJsonObject &body)
{
    return postRaw(path, QJsonDocument(body).toJson());
}

QString AuthServiceTest::login()
{
    const Result result = post("/v2/auth/register",
                               registerBody("demo", "demo123", QDateTime::currentSecsSinceEpoch()));
    return result.body.value("session_id").toString();
}

void AuthServiceTest::registerChecks_data()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    auto row = [](const QJsonObject &object) { return QJsonDocument(object).toJson(); };
    QTest::newRow("good") << row(registerBody("demo", "demo123", now)) << 200 << "Welcome, demo!";
    QTest::newRow("password as typed")
        << row(registerBody("spaced", " pass ", now)) << 200 << "Welcome, spaced!";
    QTest::newRow("password trimmed")
        << row(registerBody("spaced", "pass", now)) << 401 << "Invalid account name or password.";
    QTest::newRow("unknown account") << row(registerBody("nobody", "demo123", now)) << 401
                                     << "Invalid account name or password.";
    QTest::newRow("name not lowered")
        << row(registerBody("Demo", "demo123", now)) << 401 << "Invalid account name or password.";
    QTest::newRow("five minutes late") << row(registerBody("demo", "demo123", now - 301)) << 401
                                       << "Request expired: check the computer's clock";
    QTest::newRow("early but within skew")
        << row(registerBody("demo", "demo123", now + 250)) << 200 << "Welcome, demo!";

    QJsonObject tampered = registerBody("demo", "demo123", now);
    tampered["account_name"] = "spaced";
    QTest::newRow("signed for another account") << row(tampered) << 401 << "Invalid signature";
    QJsonObject upper = registerBody("demo", "demo123", now);
    upper["signature"] = upper["signature"].toString().toUpper();
    QTest::newRow("upper-case signature") << row(upper) << 401 << "Invalid signature";
    QJsonObject text = registerBody("demo", "demo123", now);
    text["timestamp"] = QString::number(now);
    QTest::newRow("timestamp as text") << row(text) << 400 << "Malformed request";
    QJsonObject fraction = registerBody("demo", "demo123", now);
    fraction["timestamp"] = double(now) + 0.5;
    QTest::newRow("fractional timestamp") << row(fraction) << 400 << "Malformed request";
    QJsonObject machine = registerBody("demo", "demo123", now);
    machine["hwid"] = hwid.toUpper();
    QTest::newRow("upper-case hwid") << row(machine) << 400 << "Malformed request";
    QTest::newRow("not json") << QByteArray("account_name=demo") << 400 << "Malformed request";
    QTest::newRow("array") << QByteArray("[]") << 400 << "Malformed request";
}

void AuthServiceTest::registerChecks()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, message);
    const Result result = postRaw("/v2/auth/register", body);
    QCOMPARE(result.status, status);
    QCOMPARE(result.body.value("message").toString(), message);
    QCOMPARE(result.body.value("success").toBool(), status == 200);
    QCOMPARE(result.body.value("session_id").toString().size(), status == 200 ? 32 : 0);
}

void AuthServiceTest::sessionChecks()
{
    const QString id = login();
    QCOMPARE(id.size(), 32);
    QVERIFY(id != login());
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    QCOMPARE(post("/v2/auth/heartbeat", sessionBody(id, hwid, now)).status, 200);
    QCOMPARE(post("/v2/auth/game_closed", sessionBody(id, hwid, now)).status, 200);
    QCOMPARE(service->sessions().value(id).heartbeats, 1);
    QCOMPARE(service->sessions().value(id).gameClosedNotices, 1);

    // A session belongs to the machine that opened it.
    const QString otherMachine(64, QChar('b'));
    const Result stolen = post("/v2/auth/heartbeat", sessionBody(id, otherMachine, now));
    QCOMPARE(stolen.status, 401);
    QCOMPARE(stolen.body.value("message").toString(), QString("Unknown session"));
    QCOMPARE(post("/v2/auth/heartbeat", sessionBody("made-up", hwid, now)).status, 401);
    QJsonObject forged = sessionBody(id, hwid, now);
    forged["timestamp"] = now + 1;
    QCOMPARE(post("/v2/auth/heartbeat", forged).body.value("message").toString(),
             QString("Invalid signature"));

    QJsonObject batch = sessionBody(id, hwid, now);
    batch["account"] = "demo";
    batch["entries"] = QJsonArray{"[WARN] one", "[ERROR] two"};
    QCOMPARE(post("/v2/auth/log", batch).status, 200);
    QCOMPARE(service->uploadedLogLines().mid(service->uploadedLogLines().size() - 2),
             QStringList({"[WARN] one", "[ERROR] two"}));
    batch["account"] = "spaced";
    QCOMPARE(post("/v2/auth/log", batch).status, 400);
    batch["account"] = "demo";
    QJsonArray tooMany;
    for (int i = 0; i < 51; ++i)
        tooMany.append("[WARN] line");
    batch["entries"] = tooMany;
    QCOMPARE(post("/v2/auth/log", batch).status, 413);

    QCOMPARE(post("/v2/auth/deregister", sessionBody(id, hwid, now)).status, 200);
    QVERIFY(!service->sessions().contains(id));
    QCOMPARE(post("/v2/auth/heartbeat", sessionBody(id, hwid, now)).status, 401);
    QCOMPARE(post("/api/auth/heartbeat", sessionBody(id, hwid, now)).status, 404);
}

void AuthServiceTest::healthAndConfigAtRoot()
{
    QNetworkReply *health = network.get(QNetworkRequest(QUrl(server.rootUrl() + "/api/health")));
    QSignalSpy finished(health, &QNetworkReply::finished);
    QVERIFY(finished.wait(5000));
    QCOMPARE(health->error(), QNetworkReply::NoError);
    health->deleteLater();

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QJsonObject signedRequest{
        {"hwid", hwid}, {"timestamp", now}, {"signature", sign(hwid + QString::number(now))}};
    const Result config = post("/api/config", signedRequest);
    QCOMPARE(config.status, 200);
    QCOMPARE(config.body.value("manifest_url").toString(),
             QString("http://127.0.0.1/manifest.json"));
    QJsonObject unsigned_ = signedRequest;
    unsigned_.remove("signature");
    QCOMPARE(post("/api/config", unsigned_).status, 400);
    unsigned_["signature"] = sign(QString::number(now));
    QCOMPARE(post("/api/config", unsigned_).status, 401);
}

void AuthServiceTest::accountsFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loads");
    QTest::newRow("names lower-cased")
        << QByteArray(R"({" Alice ": "Secret", "bob": "x"})") << true;
    QTest::newRow("array") << QByteArray(R"([{"alice": "x"}])") << false;
    QTest::newRow("number as password") << QByteArray(R"({"alice": 5})") << false;
    QTest::newRow("empty name") << QByteArray(R"({" ": "x"})") << false;
    QTest::newRow("broken json") << QByteArray(R"({"alice": )") << false;
}

void AuthServiceTest::accountsFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, loads);
    QTemporaryDir dir;
    const QString path = dir.filePath("accounts.json");
    QVERIFY(testsupport::writeFile(path, content));
    QHash<QString, QString> accounts{{"kept", "unless loaded"}};
    QString error;
    QCOMPARE(AuthService::loadAccounts(path, &accounts, &error), loads);
    if (loads) {
        QCOMPARE(accounts, (QHash<QString, QString>{{"alice", "Secret"}, {"bob", "x"}}));
    } else {
        QVERIFY(error.startsWith(path));
        QCOMPARE(accounts.value("kept"), QString("unless loaded"));
    }
    QVERIFY(!AuthService::loadAccounts(dir.filePath("missing.json"), &accounts, &error));
    QVERIFY(error.contains("missing.json"));
}

void AuthServiceTest::servesHttps()
{
    QTemporaryDir dir;
    testsupport::SelfSignedCertificate tls;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &tls, &error), qPrintable(error));
    DevServer secure;
    secure.useTls(tls.certificate, tls.key);
    installAuthService(secure);
    QVERIFY(secure.listenLoopback());

    QNetworkRequest request(QUrl(secure.rootUrl() + "/api/health"));
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificate(tls.certificate);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    request.setSslConfiguration(config);
    QNetworkReply *reply = network.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(reply->readAll().contains("\"ok\""));
    reply->deleteLater();
}

QTEST_GUILESS_MAIN(AuthServiceTest)
#include "tst_authservice.moc"
