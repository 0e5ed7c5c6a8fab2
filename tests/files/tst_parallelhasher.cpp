#include "core/filedigest.h"
#include "files/digestcache.h"
#include "files/parallelhasher.h"
#include "support/testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

class ParallelHasherTest : public QObject
{
    Q_OBJECT

private slots:
    void cacheRules_data();
    void cacheRules();
    void outcomesInFileOrder();
    void cacheAnswersInAnyOrder();
    void cancelStoresNothing();

private:
    static QList<HashResult> scan(const QString &folder, const QList<FileEntry> &files,
                                  const QString &cacheFile, int threads = 0);
};

QList<HashResult> ParallelHasherTest::scan(const QString &folder, const QList<FileEntry> &files,
                                           const QString &cacheFile, int threads)
{
    ParallelHasher hasher;
    hasher.setThreadCount(threads);
    QSignalSpy finished(&hasher, &ParallelHasher::finished);
    hasher.start(folder, files, cacheFile);
    if (!finished.wait(30000))
        return {};
    return finished.at(0).at(0).value<QList<HashResult>>();
}

static bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

void ParallelHasherTest::cacheRules_data()
{
    QTest::addColumn<QByteArray>("second");      // content written after the first scan
    QTest::addColumn<int>("secondsShift");       // change of the file's time, 0 keeps it
    QTest::addColumn<QByteArray>("cacheDamage"); // how the cache file is damaged, if at all
    QTest::addColumn<bool>("answeredFromCache"); // the second scan keeps the first digest

    const QByteArray same = QByteArray(5000, 'y');
    QTest::newRow("unchanged size and time: not read") << same << 0 << QByteArray() << true;
    QTest::newRow("time changed") << same << 60 << QByteArray() << false;
    QTest::newRow("size changed") << QByteArray(5001, 'y') << 0 << QByteArray() << false;
    QTest::newRow("flipped byte in cache") << same << 0 << QByteArray("flip") << false;
    QTest::newRow("truncated cache") << same << 0 << QByteArray("truncate") << false;
    QTest::newRow("garbage cache") << same << 0 << QByteArray("garbage") << false;
    QTest::newRow("cache of another folder") << same << 0 << QByteArray("moved") << false;
    QTest::newRow("fresh file: not remembered") << same << 0 << QByteArray("fresh") << false;
}

void ParallelHasherTest::cacheRules()
{
    QFETCH(QByteArray, second);
    QFETCH(int, secondsShift);
    QFETCH(QByteArray, cacheDamage);
    QFETCH(bool, answeredFromCache);

    QTemporaryDir dir;
    const QString folder = dir.filePath("game");
    const QString relative = QStringLiteral("sub dir/ü 100%.bin");
    const QString path = folder + '/' + relative;
    const QString cacheFile = dir.filePath("cache/game.cache");
    const QByteArray first(5000, 'x');
    QVERIFY(testsupport::writeFile(path, first));
    const QDateTime past = QDateTime::currentDateTime().addSecs(cacheDamage == "fresh" ? 0 : -3600);
    QVERIFY(setModified(path, past));

    const QList<HashResult> one = scan(folder, {{relative, first.size()}}, cacheFile);
    QCOMPARE(one.size(), 1);
    QCOMPARE(one.at(0).outcome, HashResult::Hashed);
    const QString firstDigest = fileSha256(path);
    QCOMPARE(one.at(0).sha256, firstDigest);

    QVERIFY(testsupport::writeFile(path, second));
    QVERIFY(setModified(path, past.addSecs(secondsShift)));
    QFile cache(cacheFile);
    if (cacheDamage == "flip" || cacheDamage == "truncate" || cacheDamage == "garbage") {
        QVERIFY(cache.open(QIODevice::ReadWrite));
        QByteArray bytes = cache.readAll();
        // The first hex digit of the file's remembered digest.
        const int digit = bytes.indexOf('\n', bytes.indexOf('\n') + 1) + 1;
        if (cacheDamage == "flip")
            bytes[digit] = bytes[digit] == '1' ? '2' : '1';
        else if (cacheDamage == "truncate")
            bytes.chop(10);
        else
            bytes = "wardgate-digests 1\n\xff\xfe\n";
        QVERIFY(cache.resize(0));
        QVERIFY(cache.seek(0));
        QCOMPARE(cache.write(bytes), bytes.size());
        cache.close();
    }
    // A renamed folder keeps its files' times but is not the folder the cache was written for.
    QString scanFolder = folder;
    if (cacheDamage == "moved") {
        QVERIFY(QDir(dir.path()).rename("game", "moved"));
        scanFolder = dir.filePath("moved");
    }

    const QList<HashResult> two = scan(scanFolder, {{relative, second.size()}}, cacheFile);
    QCOMPARE(two.size(), 1);
    QCOMPARE(two.at(0).outcome, HashResult::Hashed);
    QCOMPARE(two.at(0).sha256,
             answeredFromCache ? firstDigest : fileSha256(scanFolder + '/' + relative));

    // What the second scan learned is what a third one answers with.
    const QList<HashResult> three = scan(scanFolder, {{relative, second.size()}}, cacheFile);
    QCOMPARE(three.at(0).sha256, two.at(0).sha256);
}

void ParallelHasherTest::outcomesInFileOrder()
{
    QTemporaryDir dir;
    QList<FileEntry> files;
    QStringList expected;
    for (int i = 0; i < 40; ++i) {
        const QString name = QString("d%1/f%2").arg(i % 3).arg(i);
        const QByteArray content(i * 3000 + 1, char('a' + i % 26));
        QVERIFY(testsupport::writeFile(dir.filePath(name), content));
        files.append({name, content.size()});
        expected.append(fileSha256(dir.filePath(name)));
    }
    files.insert(5, {"absent.bin", 10});
    expected.insert(5, QString());
    QVERIFY(testsupport::writeFile(dir.filePath("short.bin"), "abc"));
    files.insert(9, {"short.bin", 4});
    expected.insert(9, QString());
    QVERIFY(QDir(dir.path()).mkpath("folder.bin"));
    files.append({"folder.bin", 0});
    expected.append(QString());

    ParallelHasher hasher;
    QSignalSpy progress(&hasher, &ParallelHasher::progress);
    QSignalSpy finished(&hasher, &ParallelHasher::finished);
    hasher.start(dir.path(), files, QString());
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.at(0).at(1).toBool(), false);
    const auto results = finished.at(0).at(0).value<QList<HashResult>>();
    QCOMPARE(results.size(), files.size());
    for (int i = 0; i < results.size(); ++i)
        QCOMPARE(results.at(i).sha256, expected.at(i));
    QCOMPARE(results.at(5).outcome, HashResult::Missing);
    QCOMPARE(results.at(9).outcome, HashResult::WrongSize);
    QCOMPARE(results.at(9).size, 3);
    QCOMPARE(results.last().outcome, HashResult::Missing);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toLongLong(), progress.last().at(1).toLongLong());
}

// The cache is stored in the order of the last run and looked up there first; a run over the
// files in another order, with one added and one rewritten at its size, is answered as well.
void ParallelHasherTest::cacheAnswersInAnyOrder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("game");
    const QString cacheFile = dir.filePath("game.cache");
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    auto put = [&](const QString &name, const QByteArray &content, const QDateTime &time) {
        const QString path = folder + '/' + name;
        return testsupport::writeFile(path, content) && setModified(path, time)
                   ? FileEntry{name, content.size(), fileSha256(path)}
                   : FileEntry{};
    };
    QList<FileEntry> files;
    for (int i = 0; i < 300; ++i)
        files.append(put(QStringLiteral("d%1/f%2.bin").arg(i % 7).arg(i),
                         QByteArray::number(1000 + i).repeated(50), past));
    QCOMPARE(scan(folder, files, cacheFile, 2).size(), files.size());

    std::reverse(files.begin(), files.end());
    files[10] = put(files[10].path, QByteArray::number(9999).repeated(50), past.addSecs(60));
    files.insert(150, put(QStringLiteral("added.bin"), "new", past));
    const QList<HashResult> reversed = scan(folder, files, cacheFile, 2);
    std::reverse(files.begin(), files.end());
    const QList<HashResult> again = scan(folder, files, cacheFile, 2);

    QCOMPARE(reversed.size(), files.size());
    QCOMPARE(again.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const qsizetype before = files.size() - 1 - i;
        QCOMPARE(reversed.at(before).sha256, files.at(i).sha256);
        QCOMPARE(reversed.at(before).fromCache, before != 10 && before != 150);
        QCOMPARE(again.at(i).sha256, files.at(i).sha256);
        QVERIFY(again.at(i).fromCache);
    }
}

void ParallelHasherTest::cancelStoresNothing()
{
    QTemporaryDir dir;
    // Sparse files: large to read, cheap to make.
    QList<FileEntry> files;
    for (const QString name : {"big1.bin", "big2.bin"}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30));
        files.append({name, file.size()});
    }
    const QString cacheFile = dir.filePath("cache/game.cache");

    ParallelHasher hasher;
    QSignalSpy progress(&hasher, &ParallelHasher::progress);
    QSignalSpy finished(&hasher, &ParallelHasher::finished);
    hasher.start(dir.path(), files, cacheFile);
    QVERIFY(progress.wait(10000));
    hasher.cancel();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 1000);
    QCOMPARE(finished.at(0).at(1).toBool(), true);
    const auto results = finished.at(0).at(0).value<QList<HashResult>>();
    QVERIFY(std::all_of(results.begin(), results.end(), [](const HashResult &result) {
        return result.outcome == HashResult::NotChecked;
    }));
    QVERIFY(!QFile::exists(cacheFile));
}

QTEST_GUILESS_MAIN(ParallelHasherTest)
#include "tst_parallelhasher.moc"
