#include "net/documentfetch.h"
#include "net/httpnetwork.h"
#include "support/endlessserver.h"
#include "support/rawhttpserver.h"
#include "support/stallingserver.h"
#include "support/testsupport.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// One small document fetched whole against bare loopback servers: it arrives, or it fails in
// bounded time and with a bounded part of it ever taken from the wire.
class DocumentFetchTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();

private:
    static qint64 limit() { return 1024 * 1024; }
};

void DocumentFetchTest::outcomes_data()
{
    QTest::addColumn<QString>("server"); // "raw", "endless", "endless with length", "stalling"
    QTest::addColumn<bool>("ownClient"); // through the launcher's HTTP client rather than Qt's
    QTest::addColumn<qint64>("bodySize");
    QTest::addColumn<qint64>("chunk");    // bytes every 50 ms; 0: as fast as it is taken
    QTest::addColumn<int>("deadlineMs");  // 0: none
    QTest::addColumn<QString>("failure"); // empty: the document arrives whole

    const qint64 limit = 1024 * 1024;
    const qint64 endless = qint64(4) * 1024 * 1024 * 1024;
    QTest::newRow("good") << "raw" << false << limit << qint64(0) << 0 << "";
    QTest::newRow("good, slowly but steadily")
        << "raw" << false << qint64(20000) << qint64(2000) << 0 << "";
    QTest::newRow("one byte too many")
        << "raw" << false << limit + 1 << qint64(0) << 0 << "the document is larger than 1 MB";
    QTest::newRow("grows without end")
        << "endless" << false << endless << qint64(0) << 0 << "the document is larger than 1 MB";
    QTest::newRow("declares a length beyond the limit")
        << "endless with length" << false << endless << qint64(0) << 0
        << "the document is larger than 1 MB";
    // 200 bytes a second, below the low-speed rule's 256.
    QTest::newRow("drips") << "endless" << false << endless << qint64(10) << 0
                           << "The server sent only";
    // Fast enough for the low-speed rule, never done in time.
    // Both clients say the same of a server that sends nothing at all.
    QTest::newRow("silent, Qt's client") << "stalling" << false << qint64(0) << qint64(0) << 0
                                         << "the server sent nothing for 0.3 s";
    QTest::newRow("silent, the launcher's client")
        << "stalling" << true << qint64(0) << qint64(0) << 0 << "the server sent nothing for 0.3 s";
    QTest::newRow("misses the deadline") << "endless" << false << endless << qint64(1000) << 700
                                         << "the document did not arrive within 0.7 s";
}

void DocumentFetchTest::outcomes()
{
    QFETCH(QString, server);
    QFETCH(bool, ownClient);
    QFETCH(qint64, bodySize);
    QFETCH(qint64, chunk);
    QFETCH(int, deadlineMs);
    QFETCH(QString, failure);

    testsupport::RawHttpServer raw;
    testsupport::StallingServer stalling;
    std::unique_ptr<testsupport::EndlessServer> endless;
    QString url;
    QByteArray body;
    if (server == "raw") {
        body = testsupport::patternedBytes(int(bodySize));
        raw.setBody(body);
        raw.setPace(chunk, 50);
        QVERIFY(raw.listen());
        url = raw.rootUrl() + "/doc.json";
    } else if (server == "stalling") {
        QVERIFY(stalling.listenLoopback());
        url = stalling.rootUrl() + "/doc.json";
    } else {
        endless =
            std::make_unique<testsupport::EndlessServer>(bodySize, server == "endless with length");
        endless->setDrip(chunk, 50);
        QVERIFY(endless->listenLoopback());
        url = endless->rootUrl() + "/doc.json";
    }

    std::unique_ptr<QNetworkAccessManager> network =
        ownClient ? std::make_unique<HttpNetwork>() : std::make_unique<QNetworkAccessManager>();
    DocumentRequest request;
    request.url = QUrl(url);
    request.name = FailureText::verbatim("the document");
    request.sizeLimit = limit();
    request.silenceLimitMs = 300;
    request.lowSpeedWindowMs = 600;
    request.deadlineMs = deadlineMs;
    DocumentFetch fetch(network.get(), request);
    QSignalSpy finished(&fetch, &DocumentFetch::finished);
    fetch.start();
    QVERIFY(finished.wait(20000));

    if (failure.isEmpty()) {
        QVERIFY2(fetch.succeeded(), qPrintable(fetch.failure().logged()));
        QCOMPARE(fetch.httpStatus(), 200);
        QCOMPARE(fetch.bytes(), body);
        QCOMPARE(fetch.takeBytes(), body);
        QVERIFY(fetch.bytes().isEmpty());
    } else {
        QVERIFY(!fetch.succeeded());
        QVERIFY(fetch.bytes().isEmpty());
        QVERIFY2(fetch.failure().shown().startsWith(failure), qPrintable(fetch.failure().shown()));
    }
    if (endless) {
        // The connection goes with the refusal; what got out is the limit and what the
        // buffers on the way hold, never the gigabytes offered.
        QTRY_VERIFY(endless->idle());
        QVERIFY2(endless->bodyBytesSent() < limit() + 16 * 1024 * 1024,
                 qPrintable(QString::number(endless->bodyBytesSent())));
    }
    testsupport::quietPeriod(100); // room for a wrong second outcome
    QCOMPARE(finished.size(), 1);
}

QTEST_GUILESS_MAIN(DocumentFetchTest)
#include "tst_documentfetch.moc"
