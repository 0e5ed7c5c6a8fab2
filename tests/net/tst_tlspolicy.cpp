#include "net/tlspolicy.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"

#include <QNetworkRequest>
#include <QProcess>
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
// security level too, so that row has no control here.)
class TlsPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void handshakes_data();
    void handshakes();
    void tlsPolicy();

private:
    QTemporaryDir dir;
    testsupport::SelfSignedCertificate tls;
    QSslConfiguration original;
};

void TlsPolicyTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &tls, &error), qPrintable(error));
    QVERIFY(testsupport::writeFile(dir.filePath("server.crt"), tls.certificate.toPem()));
    QVERIFY(testsupport::writeFile(dir.filePath("server.key"), tls.key.toPem()));
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

    QTcpServer probe; // a free port for the server
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    QStringList arguments{"s_server",
                          "-accept",
                          QString("127.0.0.1:%1").arg(port),
                          "-cert",
                          dir.filePath("server.crt"),
                          "-key",
                          dir.filePath("server.key"),
                          "-www"};
    if (tls11)
        arguments << "-tls1_1"
                  << "-cipher"
                  << "DEFAULT@SECLEVEL=0";
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start("openssl", arguments);
    QVERIFY(server.waitForStarted());
    // Listening once a connection goes through (its "ACCEPT" stays in a pipe's buffer).
    const auto listening = [port] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);

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

QTEST_GUILESS_MAIN(TlsPolicyTest)
#include "tst_tlspolicy.moc"
