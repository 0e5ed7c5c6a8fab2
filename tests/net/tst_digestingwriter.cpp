#include "net/digestingwriter.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The hand-off between the thread that reads the network and the one that writes and hashes:
// no network here, so it runs under ThreadSanitizer without Qt's own threads in the way.
class DigestingWriterTest : public QObject
{
    Q_OBJECT

private slots:
    void handOff_data();
    void handOff();
};

void DigestingWriterTest::handOff_data()
{
    QTest::addColumn<qint64>("existing");  // bytes already in the file
    QTest::addColumn<qint64>("chunk");     // size of each handed-over chunk
    QTest::addColumn<int>("restartAfter"); // chunks before the file starts over; -1: never
    QTest::addColumn<bool>("full");        // the file is a device that is always full
    QTest::addColumn<bool>("ownThread");   // false: on the caller's thread

    for (const bool ownThread : {true, false}) {
        const char *where = ownThread ? "" : ", caller's thread";
        QTest::addRow("small chunks%s", where)
            << qint64(0) << qint64(1000) << -1 << false << ownThread;
        // More than the queue may hold: the reader waits for the writer.
        QTest::addRow("beyond the queue bound%s", where)
            << qint64(0) << qint64(1 << 20) << -1 << false << ownThread;
        QTest::addRow("resumed file%s", where)
            << qint64(70000) << qint64(65536) << -1 << false << ownThread;
        QTest::addRow("started over%s", where)
            << qint64(70000) << qint64(65536) << 5 << false << ownThread;
        QTest::addRow("write failure%s", where)
            << qint64(0) << qint64(65536) << -1 << true << ownThread;
    }
}

void DigestingWriterTest::handOff()
{
    QFETCH(qint64, existing);
    QFETCH(qint64, chunk);
    QFETCH(int, restartAfter);
    QFETCH(bool, full);
    QFETCH(bool, ownThread);

    QTemporaryDir dir;
    const QString path = dir.filePath("part");
    const QByteArray earlier = testsupport::patternedBytes(existing, 1);
    if (full) {
        QVERIFY(QFile::link("/dev/full", path));
    } else {
        QFile seed(path);
        QVERIFY(seed.open(QIODevice::WriteOnly) && seed.write(earlier) == existing);
    }
    auto file = std::make_unique<QFile>(path);
    QVERIFY(file->open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    QVERIFY(full || file->seek(existing));

    const QByteArray body = testsupport::patternedBytes(24 * chunk, 2);
    QByteArray expected = earlier;
    DigestingWriter writer(std::move(file), full ? 0 : existing,
                           ownThread ? DigestingWriter::Mode::OwnThread
                                     : DigestingWriter::Mode::CallersThread);
    bool accepted = true;
    for (int i = 0; i < 24 && accepted; ++i) {
        if (i == restartAfter) {
            writer.restart();
            expected.clear();
        }
        const QByteArray piece = body.mid(i * chunk, chunk);
        expected += piece;
        accepted = writer.write(piece);
    }
    const DigestingWriter::Result result = writer.finish();

    if (full) {
        QVERIFY(!result.written && writer.failed() && !result.error.isEmpty());
        return;
    }
    QVERIFY(accepted && result.written);
    QCOMPARE(result.size, qint64(expected.size()));
    QCOMPARE(result.sha256,
             QString::fromLatin1(
                 QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex()));
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll() == expected);
}

QTEST_GUILESS_MAIN(DigestingWriterTest)
#include "tst_digestingwriter.moc"
