#include "files/downloadlanes.h"
#include "support/fileserverfixture.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The lanes' promises to their owner, against a server that sends its bodies slowly: no more
// transfers at once than allowed, a cancel that returns only once every transfer has ended (its
// part kept, its bytes taken back out of the count, its outcome dropped), and jobs queued again
// at once resuming where the cancelled ones stopped.
class DownloadLanesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cancelEndsEveryTransferBeforeItReturns();
    void oneFileIsNeverFetchedTwice();
    void deletedFolderIsMadeAgain();
    void largeFilesShareTheConnections();
};

namespace {

DownloadJob jobFor(const testsupport::RawHttpServer &server, const QTemporaryDir &dir,
                   const QString &path, const QByteArray &content)
{
    DownloadJob job;
    job.entry.path = path;
    job.target.url = QUrl(server.rootUrl() + "/" + path);
    job.target.name = path;
    job.target.finalPath = dir.filePath(path);
    job.target.partPath = job.target.finalPath + ".tmp";
    job.target.size = content.size();
    job.target.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    job.target.resumable = true;
    return job;
}

} // namespace

void DownloadLanesTest::cancelEndsEveryTransferBeforeItReturns()
{
    const QByteArray content = testsupport::patternedBytes(400000, 3);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(true);
    server.setPace(16384, 20);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QList<DownloadJob> jobs;
    for (int i = 0; i < 6; ++i) {
        DownloadJob job;
        job.entry.path = QString("f%1.dat").arg(i);
        job.target.url = QUrl(server.rootUrl() + "/" + job.entry.path);
        job.target.name = job.entry.path;
        job.target.finalPath = dir.filePath(job.entry.path);
        job.target.partPath = job.target.finalPath + ".tmp";
        job.target.size = content.size();
        job.target.sha256 = QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        job.target.resumable = true;
        jobs.append(job);
    }

    DownloadLanes lanes(30000);
    lanes.setParallelTransfers(3);
    lanes.add(jobs);
    QTRY_COMPARE(server.requestCount(), 3);
    QTRY_VERIFY(lanes.bytes() > 0);
    testsupport::quietPeriod(100); // a fourth transfer would start here
    QCOMPARE(server.requestCount(), 3);

    lanes.cancel();
    for (int i = 0; i < 3; ++i) {
        const QString part = jobs.at(i).target.partPath;
        QVERIFY2(QFile::exists(part) && QFile::exists(part + ".validator"), qPrintable(part));
    }
    QCOMPARE(lanes.bytes(), 0);
    QVERIFY(lanes.takeOutcomes().isEmpty());

    server.setPace(0, 0);
    lanes.resetBytes();
    lanes.add(jobs);
    QList<DownloadOutcome> outcomes;
    QTRY_VERIFY_WITH_TIMEOUT((outcomes += lanes.takeOutcomes()).size() == jobs.size(), 20000);
    for (const DownloadOutcome &outcome : qAsConst(outcomes))
        QCOMPARE(outcome.outcome, VerifiedTransfer::Outcome::Completed);
    for (const DownloadJob &job : qAsConst(jobs))
        QCOMPARE(testsupport::readFile(job.target.finalPath), content);
    QCOMPARE(lanes.bytes(), 6 * qint64(content.size()));
    int ranges = 0;
    for (const QByteArray &head : server.requestHeads())
        ranges += head.contains("Range: bytes=") ? 1 : 0;
    QCOMPARE(ranges, 3);
}

// A second job for a file that is queued or in flight is refused, in one call or the next, and
// the file lands whole, fetched once.
void DownloadLanesTest::oneFileIsNeverFetchedTwice()
{
    const QByteArray content = testsupport::patternedBytes(200000, 7);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setPace(16384, 20);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const DownloadJob job = jobFor(server, dir, "a.dat", content);
    const DownloadJob queued = jobFor(server, dir, "b.dat", content);

    DownloadLanes lanes(30000);
    lanes.setParallelTransfers(1);
    QCOMPARE(lanes.add({job, job, queued}), 2);
    QTRY_COMPARE(server.requestCount(), 1);
    QCOMPARE(lanes.add({job, queued}), 0);
    QVERIFY(!lanes.addFirst(job));
    QList<DownloadOutcome> outcomes;
    QTRY_VERIFY_WITH_TIMEOUT((outcomes += lanes.takeOutcomes()).size() == 2, 20000);
    testsupport::quietPeriod(100); // a third outcome would show here
    QCOMPARE(outcomes.size() + lanes.takeOutcomes().size(), 2);
    for (const DownloadOutcome &outcome : qAsConst(outcomes))
        QCOMPARE(outcome.outcome, VerifiedTransfer::Outcome::Completed);
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(testsupport::readFile(job.target.finalPath), content);
    // Once its outcome is in, the file may be fetched again.
    QVERIFY(lanes.addFirst(job));
}

// A player deletes a folder the lanes made earlier (to force a download): the next job into it
// makes it again instead of failing for the rest of the run.
void DownloadLanesTest::deletedFolderIsMadeAgain()
{
    const QByteArray content = testsupport::patternedBytes(5000, 2);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DownloadLanes lanes(30000);
    lanes.setParallelTransfers(1); // one lane: the one that made the folder
    for (int round = 0; round < 3; ++round) {
        const DownloadJob job = jobFor(server, dir, "system/a.dat", content);
        QCOMPARE(lanes.add({job}), 1);
        QList<DownloadOutcome> outcomes;
        QTRY_VERIFY((outcomes += lanes.takeOutcomes()).size() == 1);
        QVERIFY2(!outcomes.first().notStarted, qPrintable(outcomes.first().error));
        QCOMPARE(outcomes.first().outcome, VerifiedTransfer::Outcome::Completed);
        QCOMPARE(testsupport::readFile(job.target.finalPath), content);
        QVERIFY(QDir(dir.filePath("system")).removeRecursively());
    }
}

// Large files come in ranges over several connections, and files and ranges together never hold
// more connections than the batch may open.
void DownloadLanesTest::largeFilesShareTheConnections()
{
    const QByteArray content = testsupport::patternedBytes(20 << 20, 4);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(true);
    server.setPace(1 << 16, 2);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QList<DownloadJob> jobs = {jobFor(server, dir, "a.dat", content),
                                     jobFor(server, dir, "b.dat", content)};

    DownloadLanes lanes(30000);
    lanes.setParallelTransfers(3);
    QCOMPARE(lanes.add(jobs), 2);
    QList<DownloadOutcome> outcomes;
    QTRY_VERIFY_WITH_TIMEOUT((outcomes += lanes.takeOutcomes()).size() == 2, 30000);
    for (const DownloadOutcome &outcome : qAsConst(outcomes))
        QCOMPARE(outcome.outcome, VerifiedTransfer::Outcome::Completed);
    for (const DownloadJob &job : jobs)
        QCOMPARE(testsupport::readFile(job.target.finalPath), content);
    QVERIFY(server.mostConnections() <= 3);
    QCOMPARE(server.requestCount(), 6); // three ranges each
}

QTEST_GUILESS_MAIN(DownloadLanesTest)
#include "tst_downloadlanes.moc"
