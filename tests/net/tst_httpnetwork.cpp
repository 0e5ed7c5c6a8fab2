#include "net/httpnetwork.h"
#include "net/networkrequests.h"
#include "net/tlspolicy.h"
#include "net/verifiedtransfer.h"
#include "support/nginxserver.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"
#include "support/tlsrelay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The launcher's own plain-HTTP client against a server that answers each request with the next
// answer of a script, byte for byte: the framings, kept and dropped connections, redirects and
// the answers a broken or hostile server gives. Over TLS: small files in flight on nginx, which
// closes each connection after a few answers, and a cut file resumed.
class HttpNetworkTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void redirectsOverTls_data();
    void redirectsOverTls();
    void pipelinedOverTls();
    void resumeOverTls();

private:
    QTemporaryDir certificateDir;
    testsupport::SelfSignedCertificate certificate;
};

void HttpNetworkTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(certificateDir.path(), &certificate, &error),
             qPrintable(error));
}

namespace {

// Answers each complete request head with the next answer of the script. "DROP" closes the
// connection instead of answering, "STALL" sends nothing; an answer ending in "<close>" is sent
// and then its connection is closed.
class ScriptedServer : public QObject
{
public:
    explicit ScriptedServer(QList<QByteArray> script) : script(std::move(script))
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QString url(const QString &path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }
    quint16 port() const { return server.serverPort(); }

    int connections = 0;
    QList<QByteArray> heads;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray pending = socket->property("pending").toByteArray() + socket->readAll();
        int end;
        while ((end = pending.indexOf("\r\n\r\n")) >= 0) {
            heads.append(pending.left(end + 4));
            pending.remove(0, end + 4);
            QByteArray answer = script.value(heads.size() - 1, "DROP");
            if (answer == "DROP") {
                socket->disconnectFromHost();
                return;
            }
            if (answer == "STALL")
                continue;
            const bool close = answer.endsWith("<close>");
            if (close)
                answer.chop(7);
            socket->write(answer);
            if (close) {
                socket->disconnectFromHost();
                return;
            }
        }
        socket->setProperty("pending", pending);
    }

    QTcpServer server;
    QList<QByteArray> script;
};

const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

} // namespace

using Error = QNetworkReply::NetworkError;

void HttpNetworkTest::answers_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<int>("requests"); // sent one after the other, each to /file<n>
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<Error>("error");
    QTest::addColumn<int>("connections");
    QTest::addColumn<qint64>("bound"); // the reply's read buffer; the reader takes its time
    QTest::addColumn<int>("pauseMs");  // between the requests; kept connections expire at 300

    using List = QList<QByteArray>;
    QTest::newRow("by length, connection kept")
        << List{ok, ok} << 2 << QByteArray("ok") << 200 << Error::NoError << 1 << qint64(0) << 0;
    QTest::newRow("chunked, with an extension and a trailer")
        << List{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5;x=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Sum: 1\r\n\r\n",
                ok}
        << 2 << QByteArray("ok") << 200 << Error::NoError << 1 << qint64(0) << 0;
    QTest::newRow("up to the connection's end")
        << List{"HTTP/1.1 200 OK\r\n\r\nall of it<close>", ok} << 2 << QByteArray("ok") << 200
        << Error::NoError << 2 << qint64(0) << 0;
    QTest::newRow("HTTP/1.0 is not kept")
        << List{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nno", ok} << 2 << QByteArray("ok")
        << 200 << Error::NoError << 2 << qint64(0) << 0;
    QTest::newRow("interim answer first")
        << List{"HTTP/1.1 100 Continue\r\n\r\n" + ok} << 1 << QByteArray("ok") << 200
        << Error::NoError << 1 << qint64(0) << 0;
    QTest::newRow("redirect on the same server")
        << List{"HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 3\r\n\r\nold", ok} << 1
        << QByteArray("ok") << 200 << Error::NoError << 2 << qint64(0) << 0;
    QTest::newRow("redirect to HTTPS, refused")
        << List{"HTTP/1.1 301 Moved\r\nLocation: https://127.0.0.1:1/file1\r\n\r\n"} << 1
        << QByteArray() << 0 << Error::ConnectionRefusedError << 1 << qint64(0) << 0;
    QTest::newRow("404 with a page, connection kept")
        << List{ok, "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"} << 2
        << QByteArray("gone") << 404 << Error::ContentNotFoundError << 1 << qint64(0) << 0;
    QTest::newRow("kept connection closed by the server, sent again")
        << List{ok, "DROP", ok} << 2 << QByteArray("ok") << 200 << Error::NoError << 2 << qint64(0)
        << 0;
    QTest::newRow("new connection closed before an answer")
        << List{"DROP"} << 1 << QByteArray() << 0 << Error::RemoteHostClosedError << 1 << qint64(0)
        << 0;
    QTest::newRow("body cut short")
        << List{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc<close>"} << 1 << QByteArray("abc")
        << 200 << Error::RemoteHostClosedError << 1 << qint64(0) << 0;
    QTest::newRow("not HTTP") << List{"SSH-2.0-OpenSSH\r\n\r\n"} << 1 << QByteArray() << 0
                              << Error::ProtocolFailure << 1 << qint64(0) << 0;
    QTest::newRow("lengths that differ")
        << List{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok"} << 1
        << QByteArray() << 0 << Error::ProtocolFailure << 1 << qint64(0) << 0;
    QTest::newRow("endless head") << List{"HTTP/1.1 200 OK\r\nX-Pad: " + QByteArray(70000, 'a') +
                                          "\r\n\r\nok"}
                                  << 1 << QByteArray() << 0 << Error::ProtocolFailure << 1
                                  << qint64(0) << 0;
    QTest::newRow("a reader slower than the server")
        << List{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
                ok}
        << 2 << QByteArray("ok") << 200 << Error::NoError << 1 << qint64(2) << 0;
    QTest::newRow("server stalls")
        << List{"STALL"} << 1 << QByteArray() << 0 << Error::TimeoutError << 1 << qint64(0) << 0;
    // Both framings, or chunks in HTTP/1.0: where the body ends is a guess, and the connection
    // goes with the answer.
    QTest::newRow("length and chunks at once")
        << List{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5\r\nhello\r\n0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nno"}
        << 1 << QByteArray() << 0 << Error::ProtocolFailure << 1 << qint64(0) << 0;
    QTest::newRow("chunks in HTTP/1.0")
        << List{"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"} << 1
        << QByteArray() << 0 << Error::ProtocolFailure << 1 << qint64(0) << 0;
    QTest::newRow("idle connection expires")
        << List{ok, ok} << 2 << QByteArray("ok") << 200 << Error::NoError << 2 << qint64(0) << 600;
}

void HttpNetworkTest::answers()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(int, requests);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(Error, error);
    QFETCH(int, connections);
    QFETCH(qint64, bound);
    QFETCH(int, pauseMs);

    ScriptedServer server(script);
    HttpNetwork network;
    network.setTransferTimeout(500);
    network.setIdleTimeout(300);
    for (int i = 1; i <= requests; ++i) {
        if (i > 1 && pauseMs > 0)
            QTest::qWait(pauseMs);
        QNetworkReply *reply = network.get(QNetworkRequest(server.url(QString("/file%1").arg(i))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QByteArray received;
        reply->setReadBufferSize(bound);
        connect(reply, &QNetworkReply::readyRead, this, [&] {
            if (bound == 0)
                received += reply->readAll();
            else
                QTimer::singleShot(1, reply, [&] { received += reply->readAll(); });
        });
        QVERIFY(finished.wait(5000));
        testsupport::quietPeriod(10); // a second finished() would show here
        QCOMPARE(finished.size(), 1);
        received += reply->readAll();
        if (i == requests) {
            QCOMPARE(reply->error(), error);
            QCOMPARE(received, body);
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
            if (QTest::currentDataTag() == QLatin1String("redirect on the same server")) {
                QCOMPARE(reply->url().path(), QString("/moved"));
                QVERIFY(server.heads.last().startsWith("GET /moved HTTP/1.1\r\n"));
                QVERIFY(!reply->hasRawHeader("Location"));
            }
        } else {
            QCOMPARE(reply->error(), Error::NoError);
        }
        delete reply;
    }
    QCOMPARE(server.connections, connections);
    QVERIFY(server.heads.first().startsWith("GET /file1 HTTP/1.1\r\nHost: 127.0.0.1:"));
}

void HttpNetworkTest::redirectsOverTls_data()
{
    QTest::addColumn<bool>("http2"); // the request allows HTTP/2: Qt's connections
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<bool>("manual"); // the request follows no redirect
    QTest::addColumn<Error>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("requests"); // that reached the server

    for (const bool http2 : {false, true}) {
        const char *via = http2 ? "Qt's connections" : "own connections";
        QTest::addRow("on the same server, %s", via)
            << http2 << QByteArray("/moved") << false << Error::NoError << 200 << QByteArray("ok")
            << 2;
        QTest::addRow("to plain HTTP, refused, %s", via)
            << http2 << QByteArray("http://127.0.0.1:1/file1") << false
            << Error::InsecureRedirectError << 0 << QByteArray() << 1;
        QTest::addRow("not followed, %s", via) << http2 << QByteArray("/moved") << true
                                               << Error::NoError << 302 << QByteArray("old") << 1;
    }
}

// An https:// answer that redirects, on the own connections and on Qt's: followed by the reply
// itself, never to plain HTTP, and given as it is to a request that follows none.
void HttpNetworkTest::redirectsOverTls()
{
    QFETCH(bool, http2);
    QFETCH(QByteArray, location);
    QFETCH(bool, manual);
    QFETCH(Error, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, requests);

    ScriptedServer server(
        {"HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 3\r\n\r\nold", ok});
    testsupport::TlsRelay relay(certificate.certificate, certificate.key, server.port());
    QVERIFY(relay.listen());
    setExtraCaCertificates({certificate.certificate});
    const auto untrust = qScopeGuard([] { setExtraCaCertificates({}); });

    HttpNetwork network;
    QNetworkRequest request = makeNetworkRequest(QUrl(relay.rootUrl() + "/file1"));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2);
    if (manual)
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
    QCOMPARE(network.servesItself(request), !http2);
    QNetworkReply *reply = network.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    reply->deleteLater();
    QCOMPARE(reply->error(), error);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->readAll(), body);
    QCOMPARE(server.heads.size(), requests);
    if (requests == 2) {
        QCOMPARE(reply->url().path(), QString("/moved"));
        QVERIFY(server.heads.last().startsWith("GET /moved HTTP/1.1\r\n"));
    }
}

// Requests in flight on connections that nginx closes after five answers, whatever was asked on
// them after those: every one is answered in full at its first attempt, as it is sent again on a
// new connection without counting as a failure; the new connections resume the TLS session.
void HttpNetworkTest::pipelinedOverTls()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QList<QByteArray> contents;
    for (int i = 0; i < 40; ++i) {
        contents.append(testsupport::patternedBytes(2000 + i * 300, i));
        QVERIFY(testsupport::writeFile(root.filePath(QString("f%1.dat").arg(i)), contents.last()));
    }
    const quint16 port = testsupport::NginxServer::freeLoopbackPort();
    testsupport::NginxServer nginx;
    const QString servers =
        QString(R"(log_format resumed '$connection $connection_requests $ssl_session_reused';
server {
    listen 127.0.0.1:%1 ssl;
    root "%2";
    ssl_certificate "%3";
    ssl_certificate_key "%4";
    keepalive_requests 5;
    access_log resumed.log resumed;
}
)")
            .arg(port)
            .arg(root.path(), certificate.certificatePath, certificateDir.filePath("key.pem"));
    QVERIFY2(nginx.startServers(servers, port), qPrintable(nginx.errorString()));
    setExtraCaCertificates({certificate.certificate});
    const auto untrust = qScopeGuard([] { setExtraCaCertificates({}); });

    HttpNetwork network;
    network.setPipelining(2, 4);
    QList<QNetworkReply *> replies;
    int finished = 0;
    for (int i = 0; i < contents.size(); ++i) {
        QNetworkRequest request =
            makeNetworkRequest(QUrl(QString("https://127.0.0.1:%1/f%2.dat").arg(port).arg(i)));
        request.setAttribute(HttpNetwork::pipelineAttribute, true);
        QNetworkReply *reply = network.get(request);
        connect(reply, &QNetworkReply::finished, this, [&finished] { ++finished; });
        replies.append(reply);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished, contents.size(), 20000);
    for (int i = 0; i < replies.size(); ++i) {
        QVERIFY2(replies.at(i)->error() == QNetworkReply::NoError,
                 qPrintable(replies.at(i)->errorString()));
        QCOMPARE(replies.at(i)->readAll(), contents.at(i));
    }
    qDeleteAll(replies);

    // Per connection: how many answers, and whether its handshake resumed a session.
    QHash<QByteArray, QPair<int, bool>> connections;
    const QString logPath = QFileInfo(nginx.accessLogPath()).dir().filePath("resumed.log");
    QTRY_COMPARE(testsupport::readFile(logPath).count('\n'), contents.size());
    for (const QByteArray &line : testsupport::readFile(logPath).trimmed().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        QCOMPARE(fields.size(), 3);
        connections[fields.at(0)] = {
            qMax(connections.value(fields.at(0)).first, fields.at(1).toInt()), fields.at(2) == "r"};
    }
    int full = 0;
    int mostAnswers = 0;
    for (const auto &connection : qAsConst(connections)) {
        full += connection.second ? 0 : 1;
        mostAnswers = qMax(mostAnswers, connection.first);
    }
    QCOMPARE(mostAnswers, 5);
    QVERIFY(connections.size() >= contents.size() / 5);
    // The two first connections open at once, before either has a session to offer.
    QVERIFY2(full <= 2, qPrintable(QString::number(full)));
}

// A file cut mid-body over HTTPS keeps its part, and the next attempt asks only for the rest.
void HttpNetworkTest::resumeOverTls()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content = testsupport::patternedBytes(400000, 1);
    testsupport::RawHttpServer backend;
    QVERIFY(backend.listen());
    backend.setBody(content);
    backend.setEtag("\"v1\"");
    backend.setHonourRanges(true);
    backend.setCut(1, 150000);
    testsupport::TlsRelay relay(certificate.certificate, certificate.key,
                                quint16(QUrl(backend.rootUrl()).port()));
    QVERIFY(relay.listen());
    setExtraCaCertificates({certificate.certificate});
    const auto untrust = qScopeGuard([] { setExtraCaCertificates({}); });

    TransferTarget target;
    target.url = QUrl(relay.rootUrl() + "/engine.dll");
    target.partPath = dir.filePath("engine.dll.tmp");
    target.finalPath = dir.filePath("engine.dll");
    target.size = content.size();
    target.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    target.resumable = true;
    HttpNetwork network;
    QVERIFY(network.servesItself(makeNetworkRequest(target.url)));
    using Outcome = VerifiedTransfer::Outcome;
    const auto attempt = [&] {
        VerifiedTransfer transfer(&network, target);
        QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
        if (!transfer.start() || !finished.wait(20000))
            return Outcome::Running;
        return transfer.outcome();
    };

    QCOMPARE(attempt(), Outcome::NetworkError);
    const qint64 part = QFileInfo(target.partPath).size();
    QVERIFY(part > 0 && part < content.size());
    QCOMPARE(testsupport::readFile(target.partPath), content.left(part));
    const qint64 sentBefore = backend.bodyBytesSent();
    QCOMPARE(attempt(), Outcome::Completed);
    QVERIFY(backend.requestHeads().last().contains("Range: bytes=" + QByteArray::number(part) +
                                                   "-\r\n"));
    QCOMPARE(backend.bodyBytesSent() - sentBefore, content.size() - part);
    QCOMPARE(testsupport::readFile(target.finalPath), content);
    QVERIFY(!QFile::exists(target.partPath));
    QCOMPARE(relay.handshakes(), 2);
}

QTEST_GUILESS_MAIN(HttpNetworkTest)
#include "tst_httpnetwork.moc"
