#include "net/httpnetwork.h"
#include "net/segmenteddownload.h"
#include "support/rawhttpserver.h"
#include "support/testsupport.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using End = SegmentedDownload::End;

// The ranged transfer at the moments where one of its parts ends while another still runs: a
// range that cannot open the part while the others start, a cancel while the read-back's result
// is on its way to the transfer's thread.
class SegmentedDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void rangeCannotOpenPart();
    void cancelMeetsReadBack();
};

namespace {

TransferTarget targetIn(const QString &folder, const QString &url, qint64 size)
{
    TransferTarget target;
    target.url = QUrl(url);
    target.name = QStringLiteral("big.dat");
    target.partPath = folder + QStringLiteral("/big.dat.tmp");
    target.size = size;
    target.resumable = true;
    return target;
}

// Cancels the transfer when the read-back's queued result reaches it, just before it runs: with
// no request out, that is the only event the transfer gets. (The event itself is not looked at:
// it was made on the read-back's thread and handed over inside Qt, where ThreadSanitizer cannot
// see the lock.)
class CancelOnQueuedCall : public QObject
{
public:
    explicit CancelOnQueuedCall(SegmentedDownload *download) : download(download) {}
    int cancels = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *) override
    {
        if (watched == download && cancels == 0) {
            ++cancels;
            download->cancel();
        }
        return false;
    }

private:
    SegmentedDownload *download;
};

} // namespace

// The folder goes once the first range is on its way: when its answer lets the other ranges
// start, they cannot open the part, and the transfer fails as a write failure.
void SegmentedDownloadTest::rangeCannotOpenPart()
{
    const QByteArray content = testsupport::patternedBytes(20 << 20, 3);
    testsupport::RawHttpServer server;
    QVERIFY(server.listen());
    server.setBody(content);
    server.setEtag("\"v1\"");
    server.setHonourRanges(true);
    server.setPace(1 << 16, 2);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath("data");
    QVERIFY(QDir().mkpath(folder));

    HttpNetwork network;
    SegmentedDownload download(&network,
                               targetIn(folder, server.rootUrl() + "/big.dat", content.size()), 4);
    QSignalSpy finished(&download, &SegmentedDownload::finished);
    QVERIFY(download.start());
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(finished.wait(20000));
    QCOMPARE(download.end(), End::WriteFailed);
    QVERIFY(download.errorString().startsWith("cannot write "));
    QVERIFY(!QFileInfo::exists(folder));
    testsupport::quietPeriod(50); // a second finished() would show here
    QCOMPARE(finished.size(), 1);
}

// Every range is in already: the part is read back on a thread of its own, and a cancel comes
// when that pass has ended and its result waits in the queue. The cancel wins: no finished(), the
// part and its ranges stay for the next attempt.
void SegmentedDownloadTest::cancelMeetsReadBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const qint64 size = qint64(16) << 20;
    const TransferTarget target = targetIn(dir.path(), "http://127.0.0.1:9/big.dat", size);
    {
        QFile part(target.partPath);
        QVERIFY(part.open(QIODevice::WriteOnly));
        QVERIFY(part.resize(size)); // sparse: costs no disk
    }
    const QByteArray state = "\"v1\"\n" + QByteArray::number(size) + "\n0 " +
                             QByteArray::number(size / 2 - 1) + ' ' + QByteArray::number(size / 2) +
                             '\n' + QByteArray::number(size / 2) + ' ' +
                             QByteArray::number(size - 1) + ' ' + QByteArray::number(size) + '\n';
    QVERIFY(testsupport::writeFile(target.partPath + ".segments", state));

    HttpNetwork network;
    SegmentedDownload download(&network, target, 2);
    CancelOnQueuedCall canceller(&download);
    download.installEventFilter(&canceller);
    QSignalSpy finished(&download, &SegmentedDownload::finished);
    QVERIFY(download.start());
    QTRY_COMPARE_WITH_TIMEOUT(canceller.cancels, 1, 20000);
    testsupport::quietPeriod(50); // a finished() after the cancel would show here
    QCOMPARE(download.end(), End::Cancelled);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(QFileInfo(target.partPath).size(), size);
    QCOMPARE(testsupport::readFile(target.partPath + ".segments"), state);
}

QTEST_GUILESS_MAIN(SegmentedDownloadTest)
#include "tst_segmenteddownload.moc"
