#include "net/documentfetch.h"
#include "net/httpnetwork.h"
#include "net/networkrequests.h"
#include "net/tlsfailure.h"
#include "net/tlspolicy.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"
#include "support/tlsrelay.h"

#include <QDeadlineTimer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The TLS policy against real handshakes with an openssl server on loopback, in a process whose
// Qt defaults would accept anything (no peer check, any protocol): the policy must still refuse
// an unchecked certificate (the control: the same server taken without the policy) and a server
// that speaks TLS 1.1 and nothing newer. (The system's OpenSSL refuses TLS 1.1 at its own
// security level too, so that row has no control here.) The launcher's own client and Qt's follow
// the one policy, and name a refused certificate's reason in the player's words.
class TlsPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void handshakes_data();
    void handshakes();
    void tlsPolicy();
    void clients_data();
    void clients();

private:
    // openssl s_server with `certificate` on a free port, once it accepts connections.
    bool startServer(QProcess &server, const QString &dir, bool tls11, quint16 *port);

    QTemporaryDir dir;
    testsupport::SelfSignedCertificate tls;
    QSslConfiguration original;
};

void TlsPolicyTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &tls, &error), qPrintable(error));
    original = QSslConfiguration::defaultConfiguration();
    QSslConfiguration lax = original;
    lax.setPeerVerifyMode(QSslSocket::VerifyNone);
    lax.setProtocol(QSsl::AnyProtocol);
    QSslConfiguration::setDefaultConfiguration(lax);
}

void TlsPolicyTest::cleanupTestCase()
{
    QSslConfiguration::setDefaultConfiguration(original);
}

bool TlsPolicyTest::startServer(QProcess &server, const QString &certificateDir, bool tls11,
                                quint16 *port)
{
    QTcpServer probe; // a free port for the server
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    *port = probe.serverPort();
    probe.close();
    QStringList arguments{"s_server",
                          "-accept",
                          QString("127.0.0.1:%1").arg(*port),
                          "-cert",
                          certificateDir + "/cert.pem",
                          "-key",
                          certificateDir + "/key.pem",
                          "-www"};
    if (tls11)
        arguments << "-tls1_1"
                  << "-cipher"
                  << "DEFAULT@SECLEVEL=0";
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start("openssl", arguments);
    if (!server.waitForStarted())
        return false;
    // Listening once a connection goes through (its "ACCEPT" stays in a pipe's buffer).
    const quint16 at = *port;
    const auto listening = [at] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, at);
        return socket.waitForConnected(200);
    };
    QDeadlineTimer deadline(10000);
    while (!listening()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

void TlsPolicyTest::handshakes_data()
{
    QTest::addColumn<bool>("policy");
    QTest::addColumn<bool>("trusted");  // the certificate is among the CA certificates
    QTest::addColumn<bool>("tls11");    // the server speaks TLS 1.1 and nothing newer
    QTest::addColumn<bool>("answered"); // the handshake succeeds
    QTest::newRow("trusted, TLS 1.2 or later") << true << true << false << true;
    QTest::newRow("untrusted certificate") << true << false << false << false;
    QTest::newRow("untrusted certificate, without the policy") << false << false << false << true;
    QTest::newRow("TLS 1.1 only") << true << true << true << false;
}

void TlsPolicyTest::handshakes()
{
    QFETCH(bool, policy);
    QFETCH(bool, trusted);
    QFETCH(bool, tls11);
    QFETCH(bool, answered);

    QProcess server;
    quint16 port = 0;
    QVERIFY(startServer(server, dir.path(), tls11, &port));

    QSslConfiguration defaults = QSslConfiguration::defaultConfiguration();
    const QSslConfiguration lax = defaults;
    if (trusted)
        defaults.addCaCertificate(tls.certificate);
    QSslConfiguration::setDefaultConfiguration(defaults);
    QNetworkRequest request(QUrl(QString("https://127.0.0.1:%1/").arg(port)));
    if (policy)
        applyTlsPolicy(request);
    QSslConfiguration::setDefaultConfiguration(lax);
    QSslSocket socket;
    socket.setSslConfiguration(request.sslConfiguration());
    socket.connectToHostEncrypted("127.0.0.1", port);
    const bool encrypted = socket.waitForEncrypted(10000);
    QVERIFY2(encrypted == answered, qPrintable(socket.errorString()));
    server.kill();
    server.waitForFinished();
}

void TlsPolicyTest::tlsPolicy()
{
    QNetworkRequest https(QUrl("https://example.org/x"));
    applyTlsPolicy(https);
    QCOMPARE(https.sslConfiguration().peerVerifyMode(), QSslSocket::VerifyPeer);
    QCOMPARE(https.sslConfiguration().protocol(), QSsl::TlsV1_2OrLater);

    // Upper-case "HTTP" is lower-cased by URL parsing and so counts as plain HTTP.
    for (const char *url : {"http://example.org/x", "HTTP://example.org/x"}) {
        QNetworkRequest plain{QUrl(url)};
        const QSslConfiguration before = plain.sslConfiguration();
        applyTlsPolicy(plain);
        QVERIFY(plain.sslConfiguration() == before);
    }
}

void TlsPolicyTest::clients_data()
{
    QTest::addColumn<bool>("own"); // the launcher's own client rather than Qt's
    // The request allows HTTP/2, which the own client leaves to Qt's connections.
    QTest::addColumn<bool>("http2");
    QTest::addColumn<QString>("commonName");
    QTest::addColumn<bool>("expired");
    QTest::addColumn<bool>("extraCa"); // the certificate is among the extra authorities
    QTest::addColumn<bool>("tls11");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("reason"); // what the player reads when it is refused

    const struct
    {
        bool own;
        bool http2;
        const char *via;
    } clients[] = {{true, false, "own client"},
                   {true, true, "own client on Qt's connections"},
                   {false, false, "Qt's client"}};
    for (const auto &client : clients) {
        const bool own = client.own;
        const bool http2 = client.http2;
        const char *via = client.via;
        QTest::addRow("trusted by the extra CA, %s", via)
            << own << http2 << "127.0.0.1" << false << true << false << true << "";
        QTest::addRow("untrusted, %s", via)
            << own << http2 << "127.0.0.1" << false << false << false << false
            << "The server's certificate is not trusted.";
        QTest::addRow("another name, %s", via)
            << own << http2 << "localhost" << false << true << false << false
            << "The server's certificate is for another name.";
        QTest::addRow("expired, %s", via) << own << http2 << "127.0.0.1" << true << true << false
                                          << false << "The server's certificate has expired.";
        // Not a certificate's fault: no reason of its own, the connection simply fails.
        QTest::addRow("TLS 1.1 only, %s", via)
            << own << http2 << "127.0.0.1" << false << true << true << false << "";
    }
}

void TlsPolicyTest::clients()
{
    QFETCH(bool, own);
    QFETCH(bool, http2);
    QFETCH(QString, commonName);
    QFETCH(bool, expired);
    QFETCH(bool, extraCa);
    QFETCH(bool, tls11);
    QFETCH(bool, answered);
    QFETCH(QString, reason);

    QTemporaryDir certificateDir;
    testsupport::SelfSignedCertificate certificate;
    testsupport::CertificateOptions options;
    options.commonName = commonName;
    options.subjectAltName = (commonName == "localhost" ? "DNS:" : "IP:") + commonName;
    options.expired = expired;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(certificateDir.path(), &certificate, &error,
                                                    options),
             qPrintable(error));
    // TLS 1.1 from openssl, which still speaks it; otherwise a plain server behind TLS.
    QProcess server;
    testsupport::RawHttpServer backend;
    backend.setBody("<HTML>ok</HTML>");
    QVERIFY(backend.listen());
    testsupport::TlsRelay relay(certificate.certificate, certificate.key,
                                quint16(QUrl(backend.rootUrl()).port()));
    quint16 port = 0;
    if (tls11) {
        QVERIFY(startServer(server, certificateDir.path(), tls11, &port));
    } else {
        QVERIFY(relay.listen());
        port = quint16(QUrl(relay.rootUrl()).port());
    }
    const auto stop = qScopeGuard([&server] {
        setExtraCaCertificates({});
        server.kill();
        server.waitForFinished();
    });
    setExtraCaCertificates(extraCa ? QList<QSslCertificate>{certificate.certificate}
                                   : QList<QSslCertificate>{});

    HttpNetwork ownNetwork;
    QNetworkAccessManager qtNetwork;
    QNetworkAccessManager &network = own ? ownNetwork : qtNetwork;
    network.setTransferTimeout(10000);
    TlsFailureWatch watch(&network);
    QSignalSpy refusals(&network, &QNetworkAccessManager::sslErrors);
    QNetworkRequest request = makeNetworkRequest(QUrl(QString("https://127.0.0.1:%1/").arg(port)));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2);
    QCOMPARE(ownNetwork.servesItself(request), !http2);
    QNetworkReply *reply = network.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(15000));
    reply->deleteLater();
    QVERIFY2((reply->error() == QNetworkReply::NoError) == answered,
             qPrintable(reply->errorString()));
    if (answered) {
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(reply->readAll().contains("<HTML>"));
        return;
    }
    QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
    QCOMPARE(watch.reasonFor(reply), reason);
    // Once, naming the reply the caller holds.
    QCOMPARE(refusals.size(), reason.isEmpty() ? 0 : 1);
    if (!reason.isEmpty())
        QCOMPARE(refusals.first().first().value<QNetworkReply *>(), reply);
    // The files' failures are shown as their error text: the reason itself.
    if (own && !reason.isEmpty())
        QCOMPARE(reply->errorString(), reason);

    // The manifest and the other small documents say the same, on either client.
    DocumentRequest document;
    document.url = request.url();
    document.name = FailureText::verbatim(QStringLiteral("the manifest"));
    document.sizeLimit = 1 << 20;
    DocumentFetch fetch(&network, document);
    QSignalSpy fetched(&fetch, &DocumentFetch::finished);
    fetch.start();
    QVERIFY(fetched.wait(15000));
    QVERIFY(!fetch.succeeded());
    if (!reason.isEmpty())
        QCOMPARE(fetch.failure().shown(), reason);
}

QTEST_GUILESS_MAIN(TlsPolicyTest)
#include "tst_tlspolicy.moc"
