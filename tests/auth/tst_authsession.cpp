#include "auth/authclient.h"
#include "authservice.h"
#include "core/launcherconfig.h"
#include "devserver.h"
#include "support/logcapture.h"
#include "support/stallingserver.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

Q_DECLARE_METATYPE(DevServer::Fault)

// The session exchanges against the dev server: register and its rate limit, the reply rules,
// heartbeat, game closed, deregister, and what a server that never answers does to each.
class AuthSessionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void missingCredentialsSendNothing();
    void rateLimitCountsAdmittedAttempts();
    void rejectedLoginIsNotAnAuthError();
    void unusableRegisterReplies_data();
    void unusableRegisterReplies();
    void heartbeatRunsAndReportsServerMessage();
    void heartbeatIntervalOutOfRangeFallsBack_data();
    void heartbeatIntervalOutOfRangeFallsBack();
    void gameClosedAndDeregister();
    void nothingWithoutSession();
    void silentServerEndsEveryRequest();

private:
    std::unique_ptr<AuthClient> loggedInClient();
    QStringList registerAndWait(AuthClient &client, bool *ok = nullptr);

    DevServer server;
    AuthService *service = nullptr;
    std::unique_ptr<testsupport::LogCapture> log;
};

void AuthSessionTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    service = installAuthService(server);
    QVERIFY(server.listenLoopback());
}

void AuthSessionTest::init()
{
    LauncherConfig::instance().authUrl = server.rootUrl() + "/api/auth";
    LauncherConfig::instance().heartbeatInterval = 45;
    server.clearFaults();
    server.clearRecordedRequests();
    log = std::make_unique<testsupport::LogCapture>();
}

void AuthSessionTest::cleanup()
{
    log.reset();
}

std::unique_ptr<AuthClient> AuthSessionTest::loggedInClient()
{
    auto client = std::make_unique<AuthClient>();
    client->setCredentials("demo", "demo123");
    bool ok = false;
    registerAndWait(*client, &ok);
    if (!ok)
        client.reset();
    return client;
}

// Registers and returns the emitted signals as "authError:<text>" and "registered:<ok>:<text>".
QStringList AuthSessionTest::registerAndWait(AuthClient &client, bool *ok)
{
    QStringList emitted;
    auto errors = connect(&client, &AuthClient::authError,
                          [&emitted](const QString &error) { emitted << "authError:" + error; });
    auto registered = connect(&client, &AuthClient::sessionRegistered,
                              [&emitted, ok](bool success, const QString &message) {
                                  emitted << QString("registered:%1:%2").arg(success).arg(message);
                                  if (ok)
                                      *ok = success;
                              });
    client.registerSession();
    if (!QTest::qWaitFor([&emitted] { return !emitted.filter("registered:").isEmpty(); }, 10000))
        emitted << "timed out";
    disconnect(errors);
    disconnect(registered);
    return emitted;
}

void AuthSessionTest::missingCredentialsSendNothing()
{
    AuthClient client;
    client.setCredentials("   ", "secret");
    QCOMPARE(registerAndWait(client), QStringList({"registered:0:Missing credentials"}));
    client.setCredentials("demo", "");
    QCOMPARE(registerAndWait(client), QStringList({"registered:0:Missing credentials"}));
    QCOMPARE(log->count("WARN", "Missing credentials"), 2);
    testsupport::quietPeriod(100);
    QVERIFY(server.recordedRequests().isEmpty());
}

void AuthSessionTest::rateLimitCountsAdmittedAttempts()
{
    const qint64 start = QDateTime::currentSecsSinceEpoch();
    qint64 now = start;
    AuthClient client;
    client.setClock([&now] { return now; });
    client.setCredentials("demo", "demo123");

    // Each admitted attempt really logs in: success does not reset the count.
    struct Attempt
    {
        qint64 at;
        QString outcome;
    };
    const QList<Attempt> attempts = {
        {0, "registered:1:Welcome, demo!"},
        {10, "registered:1:Welcome, demo!"},
        {20, "registered:1:Welcome, demo!"},
        {30, "registered:0:Too many login attempts. Wait 50 seconds."},
        {79, "registered:0:Too many login attempts. Wait 1 seconds."},
        {80, "registered:1:Welcome, demo!"},
        {81, "registered:1:Welcome, demo!"},
        {82, "registered:1:Welcome, demo!"},
        {83, "registered:0:Too many login attempts. Wait 59 seconds."},
        {142, "registered:1:Welcome, demo!"},
    };
    for (const Attempt &attempt : attempts) {
        now = start + attempt.at;
        QCOMPARE(registerAndWait(client), QStringList({attempt.outcome}));
    }
    QCOMPARE(server.recordedRequests("/api/auth/register").size(), 7);
    QCOMPARE(log->count("WARN", "Too many login attempts. Wait 50 seconds."), 1);
}

void AuthSessionTest::rejectedLoginIsNotAnAuthError()
{
    AuthClient client;
    client.setCredentials("demo", "wrong");
    QCOMPARE(registerAndWait(client),
             QStringList({"registered:0:Invalid account name or password."}));
    QVERIFY(log->has("ERROR", "Login rejected: Invalid account name or password."));

    // A JSON answer with an error status is still judged by "success" alone.
    server.setFault("/api/auth/register",
                    {1, 503, R"({"success": true, "message": "Maintenance over"})", 0, false});
    QCOMPARE(registerAndWait(client), QStringList({"registered:1:Maintenance over"}));
}

void AuthSessionTest::unusableRegisterReplies_data()
{
    QTest::addColumn<DevServer::Fault>("fault");
    QTest::addColumn<QString>("error");
    QTest::newRow("empty body") << DevServer::Fault{1, 200, "", 0, true}
                                << "Invalid response from server";
    QTest::newRow("json array") << DevServer::Fault{1, 200, "[]", 0, true}
                                << "Invalid response from server";
    QTest::newRow("server error page")
        << DevServer::Fault{1, 500, "<html>oops</html>", 0, false} << "";
}

void AuthSessionTest::unusableRegisterReplies()
{
    QFETCH(DevServer::Fault, fault);
    QFETCH(QString, error);
    auto client = loggedInClient();
    QVERIFY(client);

    server.setFault("/api/auth/register", fault);
    const QStringList emitted = registerAndWait(*client);
    QCOMPARE(emitted.size(), 2);
    QVERIFY2(emitted[0].startsWith("authError:" + error), qPrintable(emitted[0]));
    QVERIFY(emitted[0].size() > QString("authError:").size());
    QCOMPARE(emitted[1], QString("registered:0:Cannot connect to server."));
    const QString text = emitted[0].mid(QString("authError:").size());
    QVERIFY(log->has("ERROR", "Register network error: " + text));

    // The session of the earlier login stays.
    client->notifyGameClosed();
    QTRY_VERIFY(log->has("DEBUG", "game_closed acknowledged by server"));
}

void AuthSessionTest::heartbeatRunsAndReportsServerMessage()
{
    LauncherConfig::instance().heartbeatInterval = 1;
    auto client = loggedInClient();
    QVERIFY(client);
    QSignalSpy sent(client.get(), &AuthClient::heartbeatSent);
    QSignalSpy errors(client.get(), &AuthClient::authError);
    QElapsedTimer clock;
    clock.start();
    client->startHeartbeat();
    // The first at once, the next a period later.
    QCOMPARE(log->messages("DEBUG").filter("Heartbeat sent — session_id=").size(), 1);
    QVERIFY(sent.wait(5000));
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 2, 3000);
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(log->has("INFO", "Heartbeat started (interval: 1s)"));
    QCOMPARE(log->messages("DEBUG").filter("Heartbeat sent — session_id=").size(), 2);
    QCOMPARE(log->count("DEBUG", "Heartbeat acknowledged"), 2);

    // The server forgets the session: its message becomes the error, and the heartbeat goes on.
    QSignalSpy deregistered(client.get(), &AuthClient::deregisterFinished);
    client->deregisterSession();
    QVERIFY(deregistered.wait(5000));
    QVERIFY(errors.wait(3000));
    QCOMPARE(errors.at(0).at(0).toString(), QString("Heartbeat error: Unknown session"));
    QVERIFY(log->has("WARN", "Heartbeat failed: Unknown session"));
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 2, 3000);

    // An error page without JSON: the network layer's own text.
    server.setFault("/api/auth/heartbeat", {-1, 502, "Bad Gateway", 0, false});
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 3, 3000);
    QVERIFY(errors.at(2).at(0).toString().startsWith("Heartbeat error: "));
    QVERIFY(!errors.at(2).at(0).toString().contains("Unknown session"));

    // A short period stands in for the interval: a timer left running would send within a few.
    client->findChild<QTimer *>("heartbeatTimer")->setInterval(50);
    client->stopHeartbeat();
    client->stopHeartbeat();
    QCOMPARE(log->count("INFO", "Heartbeat stopped"), 1);
    const int heartbeats = server.recordedRequests("/api/auth/heartbeat").size();
    testsupport::quietPeriod(300);
    QCOMPARE(server.recordedRequests("/api/auth/heartbeat").size(), heartbeats);

    LauncherConfig::instance().heartbeatInterval = 45;
    client->startHeartbeat();
    QCOMPARE(client->findChild<QTimer *>("heartbeatTimer")->interval(), 45000);
    client.reset();
    QCOMPARE(log->count("INFO", "Heartbeat stopped"), 2);
}

void AuthSessionTest::heartbeatIntervalOutOfRangeFallsBack_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -5;
    QTest::newRow("milliseconds overflow an int") << 2147484;
}

void AuthSessionTest::heartbeatIntervalOutOfRangeFallsBack()
{
    QFETCH(int, interval);
    auto client = loggedInClient();
    QVERIFY(client);
    LauncherConfig::instance().heartbeatInterval = interval;
    QSignalSpy sent(client.get(), &AuthClient::heartbeatSent);
    client->startHeartbeat();
    QVERIFY(sent.wait(5000));
    testsupport::quietPeriod(300);
    // One heartbeat, not a flood.
    QCOMPARE(server.recordedRequests("/api/auth/heartbeat").size(), 1);
    QCOMPARE(client->findChild<QTimer *>("heartbeatTimer")->interval(), 45000);
    QVERIFY(log->has("WARN",
                     QString("Heartbeat interval %1s is out of range — using 45s").arg(interval)));
    QVERIFY(log->has("INFO", "Heartbeat started (interval: 45s)"));
}

void AuthSessionTest::gameClosedAndDeregister()
{
    auto client = loggedInClient();
    QVERIFY(client);
    const int sessionsBefore = service->sessions().size();

    client->notifyGameClosed();
    QVERIFY(log->has("INFO", "Game closed notification sent to auth service"));
    QTRY_VERIFY(log->has("DEBUG", "game_closed acknowledged by server"));
    server.setFault("/api/auth/game_closed", {1, 500, "", 0, false});
    client->notifyGameClosed();
    QTRY_COMPARE(log->messages("WARN").filter("game_closed notify failed: ").size(), 1);

    // A failed deregister still reports that it is over.
    QSignalSpy deregistered(client.get(), &AuthClient::deregisterFinished);
    server.setFault("/api/auth/deregister", {1, 500, "", 0, false});
    client->deregisterSession();
    QVERIFY(deregistered.wait(5000));
    QCOMPARE(log->messages("WARN").filter("Deregister failed: ").size(), 1);
    QCOMPARE(service->sessions().size(), sessionsBefore);

    client->deregisterSession();
    QVERIFY(log->has("INFO", "Deregister request sent to auth service"));
    QVERIFY(deregistered.wait(5000));
    QVERIFY(log->has("INFO", "Deregister acknowledged by server"));
    QCOMPARE(service->sessions().size(), sessionsBefore - 1);
}

void AuthSessionTest::nothingWithoutSession()
{
    AuthClient client;
    QSignalSpy deregistered(&client, &AuthClient::deregisterFinished);
    client.notifyGameClosed();
    client.deregisterSession();
    client.stopHeartbeat();

    // A register answer without "session_id" leaves no session either.
    server.setFault("/api/auth/register", {1, 200, R"({"success": false})", 0, true});
    client.setCredentials("demo", "demo123");
    QCOMPARE(registerAndWait(client), QStringList({"registered:0:"}));
    client.notifyGameClosed();
    client.deregisterSession();
    testsupport::quietPeriod(200);
    QCOMPARE(server.recordedRequests().size(), 1);
    QCOMPARE(deregistered.size(), 0);
    QVERIFY(!log->has("INFO", "Heartbeat stopped"));
}

void AuthSessionTest::silentServerEndsEveryRequest()
{
    // Answers the register with a session, then hangs.
    testsupport::StallingServer silent(1, R"({"success": true, "session_id": "s1"})");
    QVERIFY(silent.listenLoopback());
    LauncherConfig::instance().authUrl = silent.rootUrl() + "/api/auth";
    AuthClient client;
    client.setSessionTimeout(300);
    client.setCredentials("demo", "demo123");
    QCOMPARE(registerAndWait(client), QStringList({"registered:1:"}));

    QSignalSpy errors(&client, &AuthClient::authError);
    QSignalSpy deregistered(&client, &AuthClient::deregisterFinished);
    QElapsedTimer clock;
    clock.start();
    client.sendHeartbeat();
    client.notifyGameClosed();
    client.deregisterSession();
    QVERIFY(deregistered.wait(5000));
    QTRY_COMPARE(errors.size(), 1);
    QVERIFY(clock.elapsed() >= 250);
    QVERIFY2(errors.at(0).at(0).toString().startsWith("Heartbeat error: "),
             qPrintable(errors.at(0).at(0).toString()));
    QTRY_COMPARE(log->messages("WARN").filter("game_closed notify failed: ").size(), 1);
    QCOMPARE(log->messages("WARN").filter("Deregister failed: ").size(), 1);

    // The login attempt ends with the ordinary failure, so the form can be used again.
    clock.restart();
    const QStringList emitted = registerAndWait(client);
    QCOMPARE(emitted.size(), 2);
    QVERIFY(emitted[0].startsWith("authError:"));
    QCOMPARE(emitted[1], QString("registered:0:Cannot connect to server."));
    QVERIFY(clock.elapsed() >= 250);
    QCOMPARE(silent.requestCount(), 5);
}

QTEST_GUILESS_MAIN(AuthSessionTest)
#include "tst_authsession.moc"
