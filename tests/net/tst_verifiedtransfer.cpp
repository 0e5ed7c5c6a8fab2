#include "net/httpnetwork.h"
#include "net/speedlimit.h"
#include "net/tlspolicy.h"
#include "net/verifiedtransfer.h"
#include "support/logcapture.h"
#include "support/nginxserver.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"
#include "support/tinyproxy.h"
#include "support/tlsfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Outcome = VerifiedTransfer::Outcome;
Q_DECLARE_METATYPE(Outcome)

// One checked transfer against a bare HTTP server that honours ranges (or not), cuts answers
// short and counts the body bytes it puts on the wire.
class VerifiedTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void attempts_data();
    void attempts();
    void partChangedUnderTransfer_data();
    void partChangedUnderTransfer();
    void cancelDoesNotWaitForReadBack();
    void answerWithoutTheFile_data();
    void answerWithoutTheFile();
    void segments_data();
    void segments();
    void speedLimit_data();
    void speedLimit();
    void redirectToHttps_data();
    void redirectToHttps();
};

namespace {

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A resumable transfer of `content` from `url` into `dir`, under the URL's file name.
TransferTarget targetFor(const QString &url, const QTemporaryDir &dir, const QByteArray &content)
{
    const QString name = QUrl(url).fileName();
    TransferTarget target;
    target.url = QUrl(url);
    target.partPath = dir.filePath(name + ".tmp");
    target.finalPath = dir.filePath(name);
    target.size = content.size();
    target.sha256 = sha256Of(content);
    target.resumable = true;
    return target;
}

// Runs one attempt to its end; with `cancelEarly` it is cancelled at its first progress report.
Outcome attempt(QNetworkAccessManager &network, const TransferTarget &target, bool cancelEarly,
                QList<qint64> *progress = nullptr)
{
    VerifiedTransfer transfer(&network, target);
    QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
    QObject::connect(&transfer, &VerifiedTransfer::progress, &transfer,
                     [&](qint64 received, qint64) {
                         if (progress)
                             progress->append(received);
                         if (cancelEarly)
                             transfer.cancel();
                     });
    if (!transfer.start())
        return Outcome::Running;
    if (!finished.wait(20000) && finished.isEmpty())
        return Outcome::Running;
    testsupport::quietPeriod(50); // a second finished() would show here
    return finished.size() == 1 ? transfer.outcome() : Outcome::Running;
}

} // namespace

void VerifiedTransferTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void VerifiedTransferTest::attempts_data()
{
    QTest::addColumn<qint64>("cutAt");     // first answer stops after this many body bytes
    QTest::addColumn<bool>("cancelFirst"); // first attempt cancelled at its first progress
    QTest::addColumn<bool>("writeFails");  // the part file is a device that is always full
    QTest::addColumn<Outcome>("firstOutcome");
    // The server for the second attempt (none when the first one ends it all):
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<bool>("ranges");
    QTest::addColumn<QByteArray>("body"); // empty: the same file
    QTest::addColumn<bool>("knownSize");  // the transfer is told the size
    QTest::addColumn<qint64>("wire");     // body bytes of the second answer; -1: the rest only
    QTest::addColumn<Outcome>("lastOutcome");
    QTest::addColumn<bool>("own"); // over HttpNetwork rather than Qt's manager
    // Bytes of a part that an earlier run left without a validator, longer than the file.
    QTest::addColumn<qint64>("stale");

    const QByteArray same;
    const QByteArray v1 = "\"v1\"";
    // Each case over Qt's network manager and over the launcher's own plain-HTTP client.
    for (const bool own : {false, true}) {
        const char *via = own ? ", own HTTP" : "";
        QTest::addRow("%s%s", "complete", via)
            << qint64(-1) << false << false << Outcome::Completed << v1 << true << same << true
            << qint64(0) << Outcome::Completed << own << qint64(0);
        QTest::addRow("%s%s", "cut mid-body, resumed", via)
            << qint64(150000) << false << false << Outcome::NetworkError << v1 << true << same
            << true << qint64(-1) << Outcome::Completed << own << qint64(0);
        QTest::addRow("%s%s", "server ignores Range", via)
            << qint64(150000) << false << false << Outcome::NetworkError << v1 << false << same
            << true << qint64(400000) << Outcome::Completed << own << qint64(0);
        QTest::addRow("%s%s", "validator changed", via)
            << qint64(150000) << false << false << Outcome::NetworkError << QByteArray("\"v2\"")
            << true << same << true << qint64(400000) << Outcome::Completed << own << qint64(0);
        // The file shrank below the part under the same validator: 416, then all of it.
        QTest::addRow("%s%s", "416", via)
            << qint64(150000) << false << false << Outcome::NetworkError << v1 << true
            << testsupport::patternedBytes(100000, 4) << false << qint64(100000)
            << Outcome::Completed << own << qint64(0);
        // A mirror that changed the file's second half without changing its validator.
        QByteArray altered = testsupport::patternedBytes(400000, 1);
        altered.replace(300000, 10, "0123456789");
        QTest::addRow("%s%s", "wrong digest after resume", via)
            << qint64(150000) << false << false << Outcome::NetworkError << v1 << true << altered
            << true << qint64(-1) << Outcome::Mismatch << own << qint64(0);
        QTest::addRow("%s%s", "write failure", via)
            << qint64(-1) << false << true << Outcome::WriteFailed << v1 << true << same << true
            << qint64(0) << Outcome::WriteFailed << own << qint64(0);
        QTest::addRow("%s%s", "cancel, then resumed", via)
            << qint64(-1) << true << false << Outcome::Cancelled << v1 << true << same << true
            << qint64(-1) << Outcome::Completed << own << qint64(0);
        QTest::addRow("%s%s", "stale part without validator", via)
            << qint64(-1) << false << false << Outcome::Completed << v1 << true << same << true
            << qint64(0) << Outcome::Completed << own << qint64(500000);
    }
}

void VerifiedTransferTest::attempts()
{
    QFETCH(qint64, cutAt);
    QFETCH(bool, cancelFirst);
    QFETCH(bool, writeFails);
    QFETCH(Outcome, firstOutcome);
    QFETCH(QByteArray, etag);
    QFETCH(bool, ranges);
    QFETCH(QByteArray, body);
    QFETCH(bool, knownSize);
    QFETCH(qint64, wire);
    QFETCH(Outcome, lastOutcome);
    QFETCH(bool, own);
    QFETCH(qint64, stale);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content = testsupport::patternedBytes(400000, 1);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(true);
    if (cutAt >= 0)
        server.setCut(1, cutAt);
    if (cancelFirst)
        server.setPace(16384, 20);

    TransferTarget target = targetFor(server.rootUrl() + "/system/engine.dll", dir, content);
    target.name = "system/engine.dll";
    if (writeFails)
        QVERIFY(QFile::link("/dev/full", target.partPath));
    if (stale > 0)
        QVERIFY(testsupport::writeFile(target.partPath, QByteArray(stale, 'x')));

    QNetworkAccessManager qtNetwork;
    HttpNetwork ownNetwork;
    QNetworkAccessManager &network = own ? ownNetwork : qtNetwork;
    testsupport::LogCapture log;
    QCOMPARE(attempt(network, target, cancelFirst), firstOutcome);
    if (firstOutcome != Outcome::Completed && firstOutcome != Outcome::WriteFailed) {
        const qint64 part = QFileInfo(target.partPath).size();
        QVERIFY(part > 0 && part < content.size());
        QCOMPARE(testsupport::readFile(target.partPath), content.left(part));

        server.setPace(0, 0);
        server.setEtag(etag);
        server.setHonourRanges(ranges);
        const QByteArray served = body.isEmpty() ? content : body;
        server.setBody(served);
        if (!knownSize) {
            target.size = -1;
            target.sha256 = sha256Of(served);
        }
        const qint64 sentBefore = server.bodyBytesSent();
        const int requestsBefore = server.requestCount();
        QList<qint64> progress;
        QCOMPARE(attempt(network, target, false, &progress), lastOutcome);
        QCOMPARE(server.bodyBytesSent() - sentBefore, wire < 0 ? content.size() - part : wire);
        QVERIFY(server.requestHeads()
                    .at(requestsBefore)
                    .contains("Range: bytes=" + QByteArray::number(part) + "-\r\n"));
        QVERIFY(log.contains(QString("[INFO] Resuming system/engine.dll at %1 bytes").arg(part)));
        // The bytes already on disk count from the first report on.
        QCOMPARE(progress.first(), part);
        if (lastOutcome == Outcome::Completed)
            QCOMPARE(testsupport::readFile(target.finalPath), served);
    }
    if (lastOutcome == Outcome::Completed) {
        QCOMPARE(testsupport::readFile(target.finalPath), body.isEmpty() ? content : body);
    } else {
        QVERIFY(!QFile::exists(target.finalPath));
    }
    if (lastOutcome == Outcome::Mismatch) {
        // What an operator needs to tell a stale manifest from a broken mirror.
        const QByteArray received = content.left(cutAt) + body.mid(cutAt);
        QVERIFY(
            log.contains(QString("Mismatch for %1: expected 400000 bytes with SHA-256 %2, "
                                 "received 400000 bytes with SHA-256 %3")
                             .arg(target.url.toString(), sha256Of(content), sha256Of(received))));
    }
    // Whatever the outcome, nothing is left beside the file for a later attempt to trip over.
    QVERIFY(!QFileInfo(target.partPath).exists() && !QFileInfo(target.partPath).isSymLink());
    QVERIFY(!QFile::exists(target.partPath + ".validator"));
}

void VerifiedTransferTest::partChangedUnderTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("emptied"); // else a few bytes at its start are overwritten
    // Another transfer of the same file opens the part afresh: the first one goes on writing at
    // its own offset and leaves a run of zero bytes before it.
    QTest::newRow("emptied, small file") << 200000 << true;
    QTest::newRow("emptied, large file") << 3000000 << true;
    QTest::newRow("overwritten, large file") << 3000000 << false;
}

// What another program does to a part under a running transfer is found before the file takes
// its name: nothing lands, nothing is left.
void VerifiedTransferTest::partChangedUnderTransfer()
{
    QFETCH(int, size);
    QFETCH(bool, emptied);
    const QByteArray content = testsupport::patternedBytes(size, 5);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setPace(65536, 10);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TransferTarget target = targetFor(server.rootUrl() + "/a.dat", dir, content);

    HttpNetwork network;
    VerifiedTransfer transfer(&network, target);
    QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
    bool changed = false;
    connect(&transfer, &VerifiedTransfer::progress, this, [&] {
        if (changed || QFileInfo(target.partPath).size() == 0)
            return;
        changed = true;
        QFile other(target.partPath);
        QVERIFY(other.open(emptied ? QIODevice::WriteOnly | QIODevice::Truncate
                                   : QIODevice::ReadWrite));
        if (!emptied)
            QCOMPARE(other.write("XXXX"), qint64(4));
    });
    QVERIFY(transfer.start());
    QVERIFY(finished.wait(20000));
    QVERIFY(changed);
    QCOMPARE(transfer.outcome(), Outcome::Mismatch);
    QVERIFY(!QFile::exists(target.finalPath));
    QVERIFY(!QFile::exists(target.partPath));
}

// A resumed big file is read back into its digest first (about a second per 1.5 GiB): a cancel
// meanwhile (logout, quit) returns at once and keeps the part and its validator.
void VerifiedTransferTest::cancelDoesNotWaitForReadBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const qint64 partSize = qint64(2) << 30;
    TransferTarget target;
    target.url = QUrl("http://127.0.0.1:9/big.pak");
    target.partPath = dir.filePath("big.pak.tmp");
    target.finalPath = dir.filePath("big.pak");
    target.size = partSize + 1000;
    target.sha256 = QString(64, '0');
    target.resumable = true;
    {
        QFile part(target.partPath);
        QVERIFY(part.open(QIODevice::WriteOnly));
        QVERIFY(part.resize(partSize)); // sparse: costs no disk, reads back as fast as any
    }
    QVERIFY(testsupport::writeFile(target.partPath + ".validator", "\"v1\""));

    HttpNetwork network;
    VerifiedTransfer transfer(&network, target);
    QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
    QVERIFY(transfer.start());
    QElapsedTimer clock;
    clock.start();
    transfer.cancel();
    const qint64 cancelMs = clock.elapsed();
    QVERIFY2(cancelMs < 500, qPrintable(QString::number(cancelMs)));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(transfer.outcome(), Outcome::Cancelled);
    QCOMPARE(QFileInfo(target.partPath).size(), partSize);
    QCOMPARE(testsupport::readFile(target.partPath + ".validator"), QByteArray("\"v1\""));
}

void VerifiedTransferTest::answerWithoutTheFile_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("own");
    for (const bool own : {false, true}) {
        const char *via = own ? ", own HTTP" : "";
        QTest::addRow("302 without Location%s", via)
            << QByteArray("302 Found") << QByteArray("moved") << own;
        QTest::addRow("204%s", via) << QByteArray("204 No Content") << QByteArray() << own;
    }
}

// An answer that is not the file ends the attempt as the server's answer, not as a wrong file,
// and a resumable part is kept for the next attempt.
void VerifiedTransferTest::answerWithoutTheFile()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, own);
    const QByteArray content = testsupport::patternedBytes(400000, 1);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setStatus(status);
    server.setBody(body);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TransferTarget target = targetFor(server.rootUrl() + "/a.dat", dir, content);
    QVERIFY(testsupport::writeFile(target.partPath, content.left(150000)));
    QVERIFY(testsupport::writeFile(target.partPath + ".validator", "\"v1\""));

    QNetworkAccessManager qtNetwork;
    HttpNetwork ownNetwork;
    VerifiedTransfer transfer(own ? &ownNetwork : &qtNetwork, target);
    QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
    QVERIFY(transfer.start());
    QVERIFY(finished.wait(20000));
    QCOMPARE(transfer.outcome(), Outcome::NetworkError);
    QVERIFY2(transfer.errorString().contains(status.left(3)), qPrintable(transfer.errorString()));
    QVERIFY(!QFile::exists(target.finalPath));
    QCOMPARE(testsupport::readFile(target.partPath), content.left(150000));
    QVERIFY(QFile::exists(target.partPath + ".validator"));
}

QTEST_GUILESS_MAIN(VerifiedTransferTest)
void VerifiedTransferTest::segments_data()
{
    QTest::addColumn<bool>("ranges");
    QTest::addColumn<int>("cuts");     // first answers cut after 1 MiB
    QTest::addColumn<qint64>("shift"); // Content-Range off by this much (not the first range)
    QTest::addColumn<bool>("rightDigest");
    QTest::addColumn<Outcome>("first");
    QTest::addColumn<Outcome>("second"); // after the cuts and the shift have ended
    QTest::addColumn<bool>("own");
    QTest::addColumn<bool>("known");     // the size is known beforehand (the base client's is not)
    QTest::addColumn<bool>("firstOnly"); // only the range from byte 0 is honoured
    const Outcome done = Outcome::Completed;
    const Outcome broken = Outcome::NetworkError;
    QTest::newRow("in ranges") << true << 0 << qint64(0) << true << done << done << true << true
                               << false;
    QTest::newRow("in ranges, Qt's manager")
        << true << 0 << qint64(0) << true << done << done << false << true << false;
    QTest::newRow("every range cut, resumed")
        << true << 4 << qint64(0) << true << broken << done << true << true << false;
    QTest::newRow("ranges ignored: one stream")
        << false << 0 << qint64(0) << true << done << done << true << true << false;
    QTest::newRow("wrong digest after ranges")
        << true << 0 << qint64(0) << false << Outcome::Mismatch << Outcome::Mismatch << true << true
        << false;
    QTest::newRow("Content-Range not the one asked for")
        << true << 0 << qint64(4096) << true << broken << done << true << true << false;
    QTest::newRow("only the first range honoured: one stream")
        << true << 0 << qint64(0) << true << done << done << true << true << true;
}

// A large file over several connections: the file that takes its name is the server's, byte for
// byte, whatever the server did to the ranges; a broken attempt keeps what arrived.
void VerifiedTransferTest::segments()
{
    QFETCH(bool, ranges);
    QFETCH(int, cuts);
    QFETCH(qint64, shift);
    QFETCH(bool, rightDigest);
    QFETCH(Outcome, first);
    QFETCH(Outcome, second);
    QFETCH(bool, own);
    QFETCH(bool, known);
    QFETCH(bool, firstOnly);
    const QByteArray content = testsupport::patternedBytes(20 << 20, 9);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(ranges);
    server.setRangesFromStartOnly(firstOnly);
    server.setCut(cuts, 1 << 20);
    server.setRangeShift(shift);
    server.setPace(1 << 16, 2); // the ranges overlap in time
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TransferTarget target = targetFor(server.rootUrl() + "/big.dat", dir, content);
    if (!known)
        target.size = -1;
    if (!rightDigest)
        target.sha256 = QString(64, QLatin1Char('0'));
    target.connections = 4;
    const QString state = target.partPath + ".segments";

    HttpNetwork ownNetwork;
    QNetworkAccessManager qtNetwork;
    QNetworkAccessManager &network = own ? ownNetwork : qtNetwork;
    QCOMPARE(attempt(network, target, false), first);
    const QList<QByteArray> heads = server.requestHeads();
    QVERIFY(heads.size() >= 2);
    // Either every request asks for a closed range, or the server's whole answer to one of them
    // is followed by a single plain request.
    const bool oneStream = !ranges || firstOnly;
    for (int i = 0; i < heads.size(); ++i)
        QCOMPARE(heads[i].contains("\r\nRange: bytes=") && !heads[i].contains("-\r\n"),
                 !oneStream || i < heads.size() - 1);
    if (!ranges)
        QCOMPARE(heads.size(), 2);
    if (firstOnly)
        QVERIFY(heads.size() <= target.connections + 1);
    QVERIFY(server.mostConnections() <= target.connections);
    if (first == Outcome::NetworkError) {
        QVERIFY(QFile::exists(state));
        QCOMPARE(QFileInfo(target.partPath).size(), qint64(content.size()));
    }

    if (first != Outcome::Completed) {
        server.setCut(0, 0);
        server.setRangeShift(0);
        const qint64 sentBefore = server.bodyBytesSent();
        QCOMPARE(attempt(network, target, false), second);
        if (first == Outcome::NetworkError)
            QVERIFY(server.bodyBytesSent() - sentBefore < content.size()); // not all again
    }
    if (second == Outcome::Completed) {
        QFile file(target.finalPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == content);
    } else {
        QVERIFY(!QFile::exists(target.finalPath));
    }
    QVERIFY(!QFile::exists(target.partPath));
    QVERIFY(!QFile::exists(state));
}

void VerifiedTransferTest::speedLimit_data()
{
    QTest::addColumn<bool>("own");
    QTest::addColumn<int>("megabytes");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("firstLimit"); // KiB/s
    QTest::addColumn<int>("switchAtMs");
    QTest::addColumn<int>("secondLimit"); // KiB/s, from switchAtMs on
    QTest::newRow("one stream, lowered mid-way") << true << 4 << 1 << 2048 << 1000 << 512;
    QTest::newRow("Qt's manager, raised mid-way") << false << 3 << 1 << 512 << 2000 << 1024;
    QTest::newRow("ranges side by side") << true << 20 << 4 << 4096 << 0 << 4096;
}

// A limited transfer takes as long as its bytes need at the limit, whichever way it reads, and a
// limit changed while it runs counts from that moment on.
void VerifiedTransferTest::speedLimit()
{
    QFETCH(bool, own);
    QFETCH(int, megabytes);
    QFETCH(int, connections);
    QFETCH(int, firstLimit);
    QFETCH(int, switchAtMs);
    QFETCH(int, secondLimit);
    const QByteArray content = testsupport::patternedBytes(megabytes << 20, 5);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(true);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TransferTarget target = targetFor(server.rootUrl() + "/file.dat", dir, content);
    target.connections = connections;
    target.speedLimit = std::make_shared<SpeedLimit>();
    target.speedLimit->setBytesPerSecond(qint64(firstLimit) * 1024);
    QTimer::singleShot(switchAtMs, [limit = target.speedLimit, secondLimit] {
        limit->setBytesPerSecond(qint64(secondLimit) * 1024);
    });

    HttpNetwork ownNetwork;
    QNetworkAccessManager qtNetwork;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(
        attempt(own ? static_cast<QNetworkAccessManager &>(ownNetwork) : qtNetwork, target, false),
        Outcome::Completed);
    const double seconds = clock.elapsed() / 1000.0;
    const double firstBytes = double(firstLimit) * 1024 * switchAtMs / 1000.0;
    const double ideal =
        switchAtMs / 1000.0 + (double(content.size()) - firstBytes) / (double(secondLimit) * 1024);
    QVERIFY2(qAbs(seconds - ideal) <= ideal * 0.1,
             qPrintable(QStringLiteral("%1 s for an ideal %2 s").arg(seconds).arg(ideal)));
    QFile file(target.finalPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == content);
}

void VerifiedTransferTest::redirectToHttps_data()
{
    QTest::addColumn<int>("limit");    // KiB/s; 0: none
    QTest::addColumn<bool>("proxied"); // through a proxy, so over Qt's connections
    for (const bool proxied : {false, true}) {
        const char *via = proxied ? ", through a proxy" : "";
        QTest::addRow("no speed limit%s", via) << 0 << proxied;
        QTest::addRow("speed limit%s", via) << 4096 << proxied;
    }
}

namespace {

// Every request through the proxy on `port`, loopback ones too (which the system's settings
// never send through one).
class EveryRequestThrough : public QNetworkProxyFactory
{
public:
    explicit EveryRequestThrough(quint16 port)
        : proxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port)
    {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &) override { return {proxy}; }

private:
    QNetworkProxy proxy;
};

} // namespace

// A plain-http address that the server sends on to https, whose certificate only the extra
// authorities trust: the extra authorities hold for the redirected request, and the reply holds
// no more than its read buffer ahead of the part, however fast the server sends; on the
// launcher's own connections and on Qt's (through a proxy).
void VerifiedTransferTest::redirectToHttps()
{
    QFETCH(int, limit);
    QFETCH(bool, proxied);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    testsupport::SelfSignedCertificate certificate;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &certificate, &error),
             qPrintable(error));
    const QByteArray content = testsupport::patternedBytes(64 << 20, 4);
    QVERIFY(testsupport::writeFile(dir.filePath("site/big.dat"), content));
    const quint16 plain = testsupport::NginxServer::freeLoopbackPort();
    quint16 secure = testsupport::NginxServer::freeLoopbackPort();
    while (secure == plain)
        secure = testsupport::NginxServer::freeLoopbackPort();
    testsupport::NginxServer nginx;
    QVERIFY2(
        nginx.startServers(
            QString("server { listen 127.0.0.1:%1; return 302 https://127.0.0.1:%2$request_uri; }\n"
                    "server { listen 127.0.0.1:%2 ssl; root \"%3\"; "
                    "ssl_certificate \"%4\"; ssl_certificate_key \"%5\"; }\n")
                .arg(plain)
                .arg(secure)
                .arg(dir.filePath("site"), dir.filePath("cert.pem"), dir.filePath("key.pem")),
            plain),
        qPrintable(nginx.errorString()));
    setExtraCaCertificates({certificate.certificate});
    const auto untrust = qScopeGuard([] { setExtraCaCertificates({}); });
    testsupport::Tinyproxy proxy;
    HttpNetwork network;
    if (proxied) {
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        network.setProxyFactory(new EveryRequestThrough(proxy.port()));
    }

    TransferTarget target =
        targetFor(QString("http://127.0.0.1:%1/big.dat").arg(plain), dir, content);
    if (limit > 0) {
        target.speedLimit = std::make_shared<SpeedLimit>();
        target.speedLimit->setBytesPerSecond(qint64(limit) * 1024);
    }
    VerifiedTransfer transfer(&network, target);
    QSignalSpy finished(&transfer, &VerifiedTransfer::finished);
    qint64 ahead = 0; // most bytes received but not yet in the part
    connect(&transfer, &VerifiedTransfer::progress, this, [&](qint64 received) {
        ahead = qMax(ahead, received - QFileInfo(target.partPath).size());
    });
    QVERIFY(transfer.start());
    if (limit == 0) {
        QVERIFY(finished.wait(60000));
        QCOMPARE(transfer.outcome(), Outcome::Completed);
        QVERIFY(testsupport::readFile(target.finalPath) == content);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(target.partPath).size() >= (8 << 20) || !finished.isEmpty(), 20000);
        QVERIFY2(finished.isEmpty(), qPrintable(transfer.errorString()));
        // The reply's read buffer, and what the writer may still be writing.
        QVERIFY2(ahead <= VerifiedTransfer::readBufferSize + (2 << 20),
                 qPrintable(QStringLiteral("%1 bytes ahead of the part").arg(ahead)));
        transfer.cancel();
        QCOMPARE(transfer.outcome(), Outcome::Cancelled);
        QVERIFY(QFileInfo(target.partPath).size() >= (8 << 20));
    }
    if (proxied) {
        const QString log = proxy.log();
        QVERIFY2(log.contains(QString("GET http://127.0.0.1:%1/big.dat").arg(plain)),
                 qPrintable(log));
        QVERIFY2(log.contains(QString("CONNECT 127.0.0.1:%1").arg(secure)), qPrintable(log));
    }
}

#include "tst_verifiedtransfer.moc"
