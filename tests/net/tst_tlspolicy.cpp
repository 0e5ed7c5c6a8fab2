#include "net/tlspolicy.h"

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTest>

class TlsPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void tlsPolicy();
};

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
