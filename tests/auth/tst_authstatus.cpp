#include "auth/authclient.h"
#include "authservice.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "devserver.h"
#include "support/logcapture.h"
#include "support/stallingserver.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

// The background jobs: the health check and its status changes, the one remote configuration
// fetch, and the collection and batched upload of warning and error lines.
class AuthStatusTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void healthCheckAtServerRootAndChangesOnce();
    void serverDownFromTheStartIsReportedOnce();
    void healthCheckTimesOutAfterFiveSeconds();
    void remoteConfigApplied();
    void remoteConfigRefused_data();
    void remoteConfigRefused();
    void logLinesCollectedAndUploadedInBatches();
    void logLinesFromOtherThreadsAreNotLost();

private:
    std::unique_ptr<AuthClient> loggedInClient();

    DevServer server;
    AuthService *service = nullptr;
};

void AuthStatusTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    service = installAuthService(server);
    QVERIFY(server.listenLoopback());
}

void AuthStatusTest::init()
{
    LauncherConfig::instance() = LauncherConfig();
    LauncherConfig::instance().authUrl = server.rootUrl() + "/api/auth";
    server.clearFaults();
    server.clearRecordedRequests();
}

std::unique_ptr<AuthClient> AuthStatusTest::loggedInClient()
{
    auto client = std::make_unique<AuthClient>();
    QSignalSpy registered(client.get(), &AuthClient::sessionRegistered);
    client->setCredentials("demo", "demo123");
    client->registerSession();
    if (!registered.wait(5000) || !registered.at(0).at(0).toBool())
        client.reset();
    return client;
}

void AuthStatusTest::healthCheckAtServerRootAndChangesOnce()
{
    LauncherConfig::instance().authUrl = server.rootUrl() + "/some/deep/auth";
    testsupport::LogCapture log;
    AuthClient client;
    QSignalSpy status(&client, &AuthClient::serverStatusChanged);
    client.startServerMonitoring();
    QVERIFY(status.wait(5000));
    QCOMPARE(status.at(0).at(0).toBool(), true);
    QVERIFY(log.has("INFO", "Server status: ONLINE"));
    const QTimer *pingTimer = client.findChild<QTimer *>("pingTimer");
    QVERIFY(pingTimer->isActive());
    QCOMPARE(pingTimer->interval(), 15000);
    QTRY_COMPARE(server.recordedRequests("/api/config").size(), 1);

    client.sendPing();
    client.sendPing();
    QTRY_COMPARE(server.recordedRequests("/api/health").size(), 3);
    testsupport::quietPeriod(100);
    QCOMPARE(status.size(), 1);

    // A 404 at the root counts as offline, once.
    server.setFault("/api/health", {-1, 404, "", 0, false});
    client.sendPing();
    QVERIFY(status.wait(5000));
    QCOMPARE(status.at(1).at(0).toBool(), false);
    QCOMPARE(log.count("INFO", "Server status: OFFLINE"), 1);
    client.sendPing();
    QTRY_COMPARE(server.recordedRequests("/api/health").size(), 5);
    testsupport::quietPeriod(100);
    QCOMPARE(status.size(), 2);

    server.clearFaults();
    client.sendPing();
    QVERIFY(status.wait(5000));
    QCOMPARE(status.at(2).at(0).toBool(), true);
    QCOMPARE(server.recordedRequests("/some/deep/auth/api/health").size(), 0);
}

void AuthStatusTest::serverDownFromTheStartIsReportedOnce()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    LauncherConfig::instance().authUrl = QString("http://127.0.0.1:%1/api/auth").arg(port);
    testsupport::LogCapture log;
    AuthClient client;
    QSignalSpy status(&client, &AuthClient::serverStatusChanged);
    client.startServerMonitoring();
    QTRY_COMPARE(log.messages("WARN").filter("Remote config fetch failed: ").size(), 1);
    QVERIFY(log.messages("WARN").filter("Remote config fetch failed: ")[0].endsWith(
        " — using local defaults"));
    // The first answer is shown even though "offline" is where the status starts; later ones
    // only when they change.
    QTRY_COMPARE(status.size(), 1);
    QCOMPARE(status.first().at(0).toBool(), false);
    client.sendPing();
    testsupport::quietPeriod(200);
    QCOMPARE(status.size(), 1);
}

void AuthStatusTest::healthCheckTimesOutAfterFiveSeconds()
{
    // Answers the first check, then hangs: the check gives up by itself after 5 s.
    testsupport::StallingServer stalling(1);
    QVERIFY(stalling.listenLoopback());
    LauncherConfig::instance().authUrl = stalling.rootUrl() + "/api/auth";
    AuthClient client;
    client.setSessionTimeout(100);
    QSignalSpy status(&client, &AuthClient::serverStatusChanged);
    client.sendPing();
    QVERIFY(status.wait(5000));

    QElapsedTimer clock;
    clock.start();
    client.sendPing();
    QVERIFY(status.wait(10000));
    QCOMPARE(status.at(1).at(0).toBool(), false);
    // Qt's coarse timers may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 4500 && clock.elapsed() < 8000,
             qPrintable(QString::number(clock.elapsed())));
}

void AuthStatusTest::remoteConfigApplied()
{
    LauncherConfig::instance().gameDirectory = "C:/Games/L2";
    service->setRemoteConfig({{"manifest_url", "http://files.example/manifest.json"},
                              {"game_executable", "system/l2.exe"},
                              {"heartbeat_interval", 30},
                              {"integrity_files", QJsonArray{"system/engine.dll"}}});
    testsupport::LogCapture log;
    AuthClient client;
    client.fetchRemoteConfig();
    QTRY_VERIFY(!log.messages("INFO").filter("Remote config applied").isEmpty());
    QVERIFY(log.has("INFO", "Remote config applied — manifest_url=http://files.example/"
                            "manifest.json, game_exe=C:/Games/L2/system/l2.exe"));
    const LauncherConfig &config = LauncherConfig::instance();
    QCOMPARE(config.manifestUrl, QString("http://files.example/manifest.json"));
    QCOMPARE(config.heartbeatInterval, 30);
    QCOMPARE(config.integrityFiles, QStringList({"system/engine.dll"}));
    service->setRemoteConfig({});
}

void AuthStatusTest::remoteConfigRefused_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("warning");
    QTest::newRow("json array") << 200 << QByteArray(R"([{"manifest_url": "x"}])")
                                << "Remote config: invalid JSON";
    QTest::newRow("not json") << 200 << QByteArray("manifest_url=x")
                              << "Remote config: invalid JSON";
    QTest::newRow("server error") << 500 << QByteArray(R"({"manifest_url": "x"})")
                                  << "Remote config fetch failed: ";
    QTest::newRow("larger than a configuration")
        << 200
        << QByteArray(R"({"manifest_url": "x", "padding": ")") + QByteArray(2 << 20, 'p') + "\"}"
        << "Remote config fetch failed: the remote configuration is larger than 1 MB";
}

void AuthStatusTest::remoteConfigRefused()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);
    LauncherConfig::instance().manifestUrl = "http://local/manifest.json";
    server.setFault("/api/config", {1, status, body, 0, status == 200});
    testsupport::LogCapture log;
    AuthClient client;
    client.fetchRemoteConfig();
    QTRY_COMPARE(log.messages("WARN").filter(warning).size(), 1);
    QCOMPARE(LauncherConfig::instance().manifestUrl, QString("http://local/manifest.json"));
    QVERIFY(log.messages("INFO").filter("Remote config applied").isEmpty());
}

void AuthStatusTest::logLinesCollectedAndUploadedInBatches()
{
    auto client = std::make_unique<AuthClient>();
    testsupport::LogCapture log([&client](const QString &line) { client->appendLogLine(line); });
    for (int i = 0; i < 250; ++i) {
        Logger::instance().log(i % 2 ? Warn : Error, QString("problem %1").arg(i));
        Logger::instance().log(Info, QString("routine %1").arg(i));
        Logger::instance().log(Debug, QString("detail %1").arg(i));
    }

    // No session yet: nothing leaves and nothing is lost.
    client->sendLogBatch();
    client->flushLogs();
    testsupport::quietPeriod(100);
    QVERIFY(server.recordedRequests().isEmpty());
    QVERIFY(!client->findChild<QTimer *>("logTimer")->isActive());

    QSignalSpy registered(client.get(), &AuthClient::sessionRegistered);
    client->setCredentials("demo", "demo123");
    client->registerSession();
    QVERIFY(registered.wait(5000));
    const int uploadedBefore = service->uploadedLogLines().size();
    client->flushLogs();
    QTRY_COMPARE(server.recordedRequests("/api/auth/log").size(), 1);
    QTimer *logTimer = client->findChild<QTimer *>("logTimer");
    QVERIFY(logTimer->isActive());
    QCOMPARE(logTimer->interval(), 30000);

    // The timer sends one batch per period; a short period stands in for the 30 s.
    logTimer->setInterval(50);
    QTRY_COMPARE(server.recordedRequests("/api/auth/log").size(), 4);
    testsupport::quietPeriod(300);
    QCOMPARE(server.recordedRequests("/api/auth/log").size(), 4);

    const QStringList uploaded = service->uploadedLogLines().mid(uploadedBefore);
    QCOMPARE(uploaded.size(), 200);
    for (int i = 0; i < 200; ++i) {
        const int n = i + 50; // the oldest 50 were dropped
        const QString ending = QString("] [%1] problem %2").arg(n % 2 ? "WARN" : "ERROR").arg(n);
        QVERIFY2(uploaded[i].endsWith(ending), qPrintable(uploaded[i]));
    }
    QVERIFY(uploaded.filter("[INFO]").isEmpty());
    QVERIFY(uploaded.filter("[DEBUG]").isEmpty());
    for (const QJsonObject &request : server.recordedRequests("/api/auth/log"))
        QVERIFY(request.value("body").toString().contains("\"account\": \"demo\""));

    // A warning after login goes with the next period.
    Logger::instance().log(Warn, "late warning");
    QTRY_VERIFY(service->uploadedLogLines().last().endsWith("] [WARN] late warning"));
}

void AuthStatusTest::logLinesFromOtherThreadsAreNotLost()
{
    auto client = loggedInClient();
    QVERIFY(client);
    const int uploadedBefore = service->uploadedLogLines().size();
    testsupport::LogCapture log([&client](const QString &line) { client->appendLogLine(line); });

    // Four threads log while the GUI thread keeps taking batches out; 200 lines in all, so none
    // is pushed out by the limit.
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([t] {
            for (int i = 0; i < 50; ++i)
                Logger::instance().log(Warn, QString("thread %1 line %2").arg(t).arg(i));
        }));
        threads.back()->start();
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            client->sendLogBatch();
            return std::all_of(threads.begin(), threads.end(),
                               [](const auto &thread) { return thread->isFinished(); });
        },
        30000));
    for (auto &thread : threads)
        thread->wait();
    for (int i = 0; i < 4; ++i)
        client->sendLogBatch();
    QTRY_COMPARE(service->uploadedLogLines().size() - uploadedBefore, 200);
    QStringList uploaded = service->uploadedLogLines().mid(uploadedBefore);
    for (QString &line : uploaded)
        line = line.mid(line.indexOf("thread "));
    uploaded.removeDuplicates();
    QCOMPARE(uploaded.size(), 200);
}

QTEST_GUILESS_MAIN(AuthStatusTest)
#include "tst_authstatus.moc"
