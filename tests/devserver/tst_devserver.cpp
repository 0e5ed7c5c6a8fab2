#include "devserver.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The dev server's own plumbing: routing, faults, recording and file streaming.
class DevServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void routesExactAndPrefix();
    void faultsFailThenRecover();
    void faultReplacesBodyAndDelays();
    void delayedAnswerToClientThatGaveUp();
    void recordsEveryRequest();
    void recordFileMasksPasswords_data();
    void recordFileMasksPasswords();
    void streamsFiles();

private:
    struct Result
    {
        int status = 0;
        QByteArray body;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
    };
    Result fetch(const QString &path, const QByteArray &postBody = QByteArray());

    DevServer server;
    QNetworkAccessManager network;
    QTemporaryDir dir;
};

void DevServerTest::initTestCase()
{
    server.addRoute("GET", "/exact",
                    [](const DevServer::Request &) { return DevServer::Reply::text("exact"); });
    server.addRoute("", "/tree/*", [](const DevServer::Request &r) {
        return DevServer::Reply::text(r.path.toUtf8());
    });
    server.addRoute("POST", "/echo", [](const DevServer::Request &r) {
        return DevServer::Reply::json({{"got", QString::fromUtf8(r.body)},
                                       {"ua", QString::fromUtf8(r.header("user-agent"))}});
    });
    server.addRoute("GET", "/file", [this](const DevServer::Request &) {
        return DevServer::Reply::file(dir.filePath("big.bin"));
    });
    QVERIFY(server.listenLoopback());
    QVERIFY(server.rootUrl().startsWith("http://127.0.0.1:"));
}

DevServerTest::Result DevServerTest::fetch(const QString &path, const QByteArray &postBody)
{
    QNetworkRequest request(QUrl(server.rootUrl() + path));
    request.setHeader(QNetworkRequest::UserAgentHeader, "tester");
    QNetworkReply *reply =
        postBody.isNull() ? network.get(request) : network.post(request, postBody);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(10000);
    Result result{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                  reply->readAll(), reply->error()};
    reply->deleteLater();
    return result;
}

void DevServerTest::routesExactAndPrefix()
{
    QCOMPARE(fetch("/exact").body, QByteArray("exact"));
    QCOMPARE(fetch("/exact/more").status, 404);
    QCOMPARE(fetch("/tree/a/b.txt").body, QByteArray("/tree/a/b.txt"));
    QCOMPARE(fetch("/tree/sp%20ace").body, QByteArray("/tree/sp ace"));
    QCOMPARE(fetch("/nothing").status, 404);
    const Result echoed = fetch("/echo", "hello");
    QCOMPARE(echoed.status, 200);
    QVERIFY(echoed.body.contains("\"got\":\"hello\""));
    QVERIFY(echoed.body.contains("\"ua\":\"tester\""));
}

void DevServerTest::faultsFailThenRecover()
{
    server.setFault("/exact", {2, 503, "busy", 0, false});
    QCOMPARE(fetch("/exact").status, 503);
    const Result second = fetch("/exact");
    QCOMPARE(second.status, 503);
    QCOMPARE(second.body, QByteArray("busy"));
    QCOMPARE(fetch("/exact").body, QByteArray("exact"));

    server.setFault("/exact", {-1, 404, "", 0, false});
    for (int i = 0; i < 3; ++i)
        QCOMPARE(fetch("/exact").status, 404);
    server.clearFaults();
    QCOMPARE(fetch("/exact").status, 200);
}

void DevServerTest::faultReplacesBodyAndDelays()
{
    server.setFault("/exact", {1, 200, "wrong", 300, true});
    QElapsedTimer timer;
    timer.start();
    const Result replaced = fetch("/exact");
    QCOMPARE(replaced.status, 200);
    QCOMPARE(replaced.body, QByteArray("wrong"));
    QVERIFY(timer.elapsed() >= 250);
    QCOMPARE(fetch("/exact").body, QByteArray("exact"));
    server.clearFaults();
}

void DevServerTest::delayedAnswerToClientThatGaveUp()
{
    // The held-back answer must not be written into the socket the client has closed.
    server.setFault("/exact", {0, 200, "", 400, false});
    QNetworkRequest request(QUrl(server.rootUrl() + "/exact"));
    request.setTransferTimeout(100);
    QNetworkReply *reply = network.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(5000));
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    reply->deleteLater();
    QTest::qWait(600);
    server.clearFaults();
    QCOMPARE(fetch("/exact").body, QByteArray("exact"));
}

void DevServerTest::recordsEveryRequest()
{
    const QString recordFile = dir.filePath("requests.jsonl");
    server.setRecordFile(recordFile);
    server.clearRecordedRequests();
    fetch("/echo", "{\"a\":1}");
    fetch("/nothing?x=1");
    const QList<QJsonObject> all = server.recordedRequests();
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[0].value("method").toString(), QString("POST"));
    QCOMPARE(all[0].value("body").toString(), QString("{\"a\":1}"));
    QCOMPARE(all[0].value("headers").toObject().value("user-agent").toString(), QString("tester"));
    QCOMPARE(all[1].value("query").toString(), QString("x=1"));
    QCOMPARE(server.recordedRequests("/echo").size(), 1);
    QCOMPARE(testsupport::readLines(recordFile).size(), 2);
    server.setRecordFile(QString());
}

void DevServerTest::recordFileMasksPasswords_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("register") << QByteArray("{\"account_name\":\"demo\",\"password\":\"s3cret\"}")
                              << QByteArray(
                                     "{\"account_name\":\"demo\",\"password\":\"********\"}");
    QTest::newRow("no password") << QByteArray("{\"hwid\":\"ab\"}")
                                 << QByteArray("{\"hwid\":\"ab\"}");
    QTest::newRow("not JSON") << QByteArray("password=x") << QByteArray("password=x");
}

// What a trial's operator keeps on disk: every request, but no player's password.
void DevServerTest::recordFileMasksPasswords()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, written);
    const QString recordFile = dir.filePath("masked.jsonl");
    QFile::remove(recordFile);
    server.setRecordFile(recordFile);
    server.clearRecordedRequests();
    fetch("/echo", body);
    server.setRecordFile(QString());

    const QStringList lines = testsupport::readLines(recordFile);
    QCOMPARE(lines.size(), 1);
    const QJsonObject entry = QJsonDocument::fromJson(lines.first().toUtf8()).object();
    QCOMPARE(entry.value("body").toString().toUtf8(), written);
    QCOMPARE(server.recordedRequests("/echo").first().value("body").toString().toUtf8(), body);
}

void DevServerTest::streamsFiles()
{
    QByteArray content;
    for (int i = 0; i < 300000; ++i)
        content.append(char(i * 7));
    QVERIFY(testsupport::writeFile(dir.filePath("big.bin"), content));
    const Result result = fetch("/file");
    QCOMPARE(result.status, 200);
    QCOMPARE(result.body.size(), content.size());
    QVERIFY(result.body == content);
    QFile::remove(dir.filePath("big.bin"));
    QCOMPARE(fetch("/file").status, 404);
}

QTEST_GUILESS_MAIN(DevServerTest)
#include "tst_devserver.moc"
