#include "files/downloadlanes.h"
#include "support/fileserverfixture.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <utility>

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
    void smallFilesShareConnections_data();
    void smallFilesShareConnections();
};

namespace {

DownloadJob jobFor(const QString &rootUrl, const QTemporaryDir &dir, const QString &path,
                   const QByteArray &content)
{
    DownloadJob job;
    job.entry.path = path;
    job.target.url = QUrl(rootUrl + "/" + path);
    job.target.name = path;
    job.target.finalPath = dir.filePath(path);
    job.target.partPath = job.target.finalPath + ".tmp";
    job.target.size = content.size();
    job.target.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    job.target.resumable = true;
    return job;
}

// Keeps its connections and answers the requests on each in turn, `delayMs` after the one before,
// with the file the path names: as HTTP/1.1, or as HTTP/1.0 with keep-alive. It may close a
// connection after so many answers, whatever was asked on it after them.
class KeepAliveServer : public QObject
{
public:
    KeepAliveServer(QHash<QByteArray, QByteArray> files, bool http10, int closeAfter, int delayMs)
        : files(std::move(files)), http10(http10), closeAfter(closeAfter), delayMs(delayMs)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { take(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    if (waiting.value(socket).counted)
                        --open;
                    waiting.remove(socket);
                    socket->deleteLater();
                });
                // Counted a little later: a connection the client closed just before it opened
                // this one may not have shown its end here yet.
                QTimer::singleShot(5, socket, [this, socket] {
                    if (socket->state() != QAbstractSocket::ConnectedState ||
                        waiting[socket].answered == this->closeAfter)
                        return;
                    waiting[socket].counted = true;
                    mostOpen = qMax(mostOpen, ++open);
                });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QString rootUrl() const { return QString("http://127.0.0.1:%1").arg(server.serverPort()); }

    int open = 0;
    int mostOpen = 0;
    int requests = 0;
    int mostWaiting = 0; // requests on one connection not answered yet

private:
    struct Connection
    {
        QByteArray buffer;
        QList<QByteArray> paths;
        int answered = 0;
        bool counted = false;
    };
    void take(QTcpSocket *socket)
    {
        Connection &state = waiting[socket];
        state.buffer += socket->readAll();
        int end;
        while ((end = state.buffer.indexOf("\r\n\r\n")) >= 0) {
            state.paths.append(state.buffer.left(end).split(' ').value(1));
            state.buffer.remove(0, end + 4);
            ++requests;
            if (state.paths.size() == 1)
                QTimer::singleShot(delayMs, socket, [this, socket] { answer(socket); });
        }
        mostWaiting = qMax(mostWaiting, int(state.paths.size()));
    }
    void answer(QTcpSocket *socket)
    {
        Connection &state = waiting[socket];
        const QByteArray body = files.value(state.paths.takeFirst());
        socket->write(
            (http10 ? "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n" : "HTTP/1.1 200 OK\r\n") +
            QByteArray("Content-Length: ") + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        if (++state.answered == closeAfter) {
            if (std::exchange(state.counted, false))
                --open;
            socket->disconnectFromHost();
        } else if (!state.paths.isEmpty())
            QTimer::singleShot(delayMs, socket, [this, socket] { answer(socket); });
    }

    const QHash<QByteArray, QByteArray> files;
    const bool http10;
    const int closeAfter;
    const int delayMs;
    QHash<QTcpSocket *, Connection> waiting;
    QTcpServer server; // last: its connections go while what they use is still there
};

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
    const DownloadJob job = jobFor(server.rootUrl(), dir, "a.dat", content);
    const DownloadJob queued = jobFor(server.rootUrl(), dir, "b.dat", content);

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
        const DownloadJob job = jobFor(server.rootUrl(), dir, "system/a.dat", content);
        QCOMPARE(lanes.add({job}), 1);
        QList<DownloadOutcome> outcomes;
        QTRY_VERIFY((outcomes += lanes.takeOutcomes()).size() == 1);
        QVERIFY2(!outcomes.first().notStarted, qPrintable(outcomes.first().error.logged()));
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
    const QList<DownloadJob> jobs = {jobFor(server.rootUrl(), dir, "a.dat", content),
                                     jobFor(server.rootUrl(), dir, "b.dat", content)};

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

void DownloadLanesTest::smallFilesShareConnections_data()
{
    QTest::addColumn<bool>("http10");
    QTest::addColumn<int>("closeAfter");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("pipelined");
    QTest::newRow("kept HTTP/1.1") << false << 0 << 5 << 30000 << true;
    QTest::newRow("closed after 3 answers mid-pipeline") << false << 3 << 5 << 30000 << true;
    // A request waiting behind three others waits longer than the time-out: it runs no timer.
    QTest::newRow("answers slower than a third of the time-out")
        << false << 0 << 150 << 400 << true;
    QTest::newRow("HTTP/1.0 with keep-alive") << true << 0 << 5 << 30000 << false;
}

// Small files ride several to a connection once the server has answered over a kept HTTP/1.1
// connection: within the connections allowed, with every file in place at the first attempt,
// also when the server closes a connection with requests still unanswered on it.
void DownloadLanesTest::smallFilesShareConnections()
{
    QFETCH(bool, http10);
    QFETCH(int, closeAfter);
    QFETCH(int, delayMs);
    QFETCH(int, timeoutMs);
    QFETCH(bool, pipelined);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QHash<QByteArray, QByteArray> files;
    QList<QPair<QString, QByteArray>> contents;
    for (int i = 0; i < 24; ++i) {
        const QString path = QString("f%1.dat").arg(i);
        contents.append({path, testsupport::patternedBytes(3000 + i * 100, i)});
        files.insert("/" + path.toLatin1(), contents.last().second);
    }
    KeepAliveServer server(files, http10, closeAfter, delayMs);
    QList<DownloadJob> jobs;
    for (const auto &file : qAsConst(contents))
        jobs.append(jobFor(server.rootUrl(), dir, file.first, file.second));

    DownloadLanes lanes(timeoutMs);
    lanes.setParallelTransfers(2);
    QCOMPARE(lanes.add(jobs), jobs.size());
    QList<DownloadOutcome> outcomes;
    QTRY_VERIFY_WITH_TIMEOUT((outcomes += lanes.takeOutcomes()).size() >= jobs.size(), 20000);
    testsupport::quietPeriod(50); // an outcome more would show here
    outcomes += lanes.takeOutcomes();
    QCOMPARE(outcomes.size(), jobs.size());
    for (const DownloadOutcome &outcome : qAsConst(outcomes))
        QVERIFY2(outcome.outcome == VerifiedTransfer::Outcome::Completed,
                 qPrintable(outcome.error.logged()));
    for (int i = 0; i < jobs.size(); ++i)
        QCOMPARE(testsupport::readFile(jobs.at(i).target.finalPath), contents.at(i).second);
    QVERIFY2(server.mostOpen <= 2, qPrintable(QString::number(server.mostOpen)));
    QCOMPARE(server.mostWaiting > 1, pipelined);
    if (closeAfter > 0)
        QVERIFY(server.requests > jobs.size()); // closed with requests on it, sent again
}

QTEST_GUILESS_MAIN(DownloadLanesTest)
#include "tst_downloadlanes.moc"
