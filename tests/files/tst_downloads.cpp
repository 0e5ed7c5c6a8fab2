#include "core/launcherconfig.h"
#include "files/digestcache.h"
#include "files/filemanager.h"
#include "files/filescanner.h"
#include "platform/platform.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/nginxserver.h"
#include "support/rawhttpserver.h"
#include "support/stallingserver.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using testsupport::FileServerFixture;
using testsupport::LogCapture;
using testsupport::patternedBytes;

// The download engine against the dev server (and a raw socket server for cut connections).
class DownloadsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void emptyQueueEndsAtOnce();
    void threeFilesFourThreadsStartThree();
    void parallelTransfersFollowTheSetting();
    void failingFileRetriesFiveSecondsApartThenSkips();
    void wrongBodyIsRemovedAndRetried();
    void wrongBodyNeverLandsAndProgressStaysWithinTotal();
    void cutConnectionIsRetried();
    void staleTemporaryFileIsOverwritten();
    void writeErrorIsAFailedAttempt();
    void pendingRetryHoldsBackTheEnd();
    void unwritableFolderFailsTheBatchOnce();
    void zeroTotalKeepsPercentAtZero();
    void contentCheck_data();
    void contentCheck();
    void publishedUpdateFetchesExactlyTheChangedFiles();
    void newerVerificationPassWins();
    void secondStartJoinsTheRunningBatch();
    void speedLimitHoldsAllLanesTogether();
    void pauseFetchesNothingAndResumeTakesTheRest_data();
    void pauseFetchesNothingAndResumeTakesTheRest();
    void failedServerGivesWayToTheMirrorAtOnce_data();
    void failedServerGivesWayToTheMirrorAtOnce();

private:
    // Loads the manifest, verifies and returns the manager ready for startDownload().
    std::unique_ptr<FileManager> prepared(int retryDelayMs = 100);
    // Every file that stands under its final name has the served content.
    bool noWrongFileInPlace() const;
    // Installs every served file with a time long past, as a game folder's files have.
    bool installAged(const QDateTime &when);

    std::unique_ptr<FileServerFixture> fixture;
    QMap<QString, QByteArray> served;
};

void DownloadsTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void DownloadsTest::init()
{
    fixture = std::make_unique<FileServerFixture>();
    served.clear();
    QVERIFY(fixture->start());
}

std::unique_ptr<FileManager> DownloadsTest::prepared(int retryDelayMs)
{
    for (auto it = served.cbegin(); it != served.cend(); ++it) {
        if (!fixture->serve(it.key(), it.value()))
            return nullptr;
    }
    auto manager = std::make_unique<FileManager>();
    manager->setRetryDelay(retryDelayMs);
    if (!testsupport::loadManifest(*manager) || !testsupport::verify(*manager))
        return nullptr;
    return manager;
}

bool DownloadsTest::noWrongFileInPlace() const
{
    for (auto it = served.cbegin(); it != served.cend(); ++it) {
        const QString path = fixture->gameDir() + "/" + it.key();
        if (QFileInfo::exists(path) && fixture->installed(it.key()) != it.value())
            return false;
    }
    return true;
}

bool DownloadsTest::installAged(const QDateTime &when)
{
    for (auto it = served.cbegin(); it != served.cend(); ++it) {
        QFile file(fixture->gameDir() + "/" + it.key());
        if (!fixture->install(it.key(), it.value()) || !file.open(QIODevice::ReadWrite) ||
            !file.setFileTime(when, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

void DownloadsTest::emptyQueueEndsAtOnce()
{
    served["a.dat"] = "a";
    QVERIFY(fixture->install("a.dat", "a"));
    auto manager = prepared();
    QVERIFY(manager);
    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    manager->startDownload();
    QCOMPARE(ready.size(), 1);
    QVERIFY(log.contains("[INFO] No files to download"));
    testsupport::quietPeriod(100);
    QCOMPARE(ready.size(), 1);
    QCOMPARE(progress.size(), 0);
}

void DownloadsTest::threeFilesFourThreadsStartThree()
{
    served["a.dat"] = patternedBytes(300000, 1);
    served["system/b.dll"] = patternedBytes(5 << 20, 2);
    served["system/deep/c.int"] = patternedBytes(70000, 3);
    LauncherConfig::instance().gameExecutable = "system/./b.dll";
    auto manager = prepared();
    QVERIFY(manager);
    // Answers held back, so every transfer that starts at once is seen before any ends.
    for (const QString &path : served.keys())
        fixture->server.setFault(FileServerFixture::urlPath(path), {0, 200, {}, 600});

    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    QSignalSpy completed(manager.get(), &FileManager::fileDownloadComplete);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    connect(manager.get(), &FileManager::fileDownloadComplete, this,
            [this] { QVERIFY(noWrongFileInPlace()); });
    manager->startDownload();
    QVERIFY(log.contains("[INFO] Starting download of 3 files (5.35 MB)"));
    QTRY_VERIFY(log.contains("[INFO] Downloading: system/deep/c.int (68.36 KB)"));
    QTRY_COMPARE_WITH_TIMEOUT(fixture->server.recordedRequests().size(), 4, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);

    QCOMPARE(errors.size(), 0);
    QStringList names;
    for (const auto &arguments : qAsConst(completed))
        names.append(arguments.at(0).toString());
    names.sort();
    QCOMPARE(names, served.keys());
    for (const QString &path : served.keys()) {
        QCOMPARE(fixture->installed(path), served[path]);
        QVERIFY(!QFile::exists(fixture->gameDir() + "/" + path + ".tmp"));
        const auto requests = fixture->server.recordedRequests(FileServerFixture::urlPath(path));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().value("headers").toObject().value("user-agent").toString(),
                 QString("Wardgate/1.0"));
    }
    QVERIFY(log.contains("Downloaded and verified: system/b.dll ("));
    QVERIFY(log.contains("(3/3)"));
    QCOMPARE(log.count("[INFO] All files downloaded successfully!"), 1);

    // Progress counts the manifest's bytes, only ever grows, and ends at exactly 100 %.
    const qint64 total = 300000 + (5 << 20) + 70000;
    qint64 previous = 0;
    for (const auto &arguments : qAsConst(progress)) {
        const qint64 downloaded = arguments.at(1).toLongLong();
        QVERIFY(downloaded >= previous);
        QCOMPARE(arguments.at(2).toLongLong(), total);
        QCOMPARE(arguments.at(0).toInt(), int(downloaded * 100 / total));
        previous = downloaded;
    }
    QCOMPARE(progress.last(), (QVariantList{100, total, total}));

    // The configured game program lands runnable; other files keep the default mode.
    QVERIFY(QFileInfo(fixture->gameDir() + "/system/b.dll").permission(QFile::ExeOwner));
    QVERIFY(!QFileInfo(fixture->gameDir() + "/a.dat").permission(QFile::ExeOwner));
}

void DownloadsTest::parallelTransfersFollowTheSetting()
{
    for (int i = 0; i < 4; ++i)
        served[QString("file%1.dat").arg(i)] = patternedBytes(1000 + i, i);

    // Two threads: two transfers at a time. Zero (or less) would start nothing; it counts as one.
    for (const int threads : {2, 0}) {
        const int inFlight = qMax(1, threads);
        fixture = std::make_unique<FileServerFixture>();
        QVERIFY(fixture->start());
        auto manager = prepared();
        QVERIFY(manager);
        for (const QString &path : served.keys())
            fixture->server.setFault(FileServerFixture::urlPath(path), {0, 200, {}, 400});
        LauncherConfig::instance().maxDownloadThreads = threads;
        QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
        manager->startDownload();

        QTRY_COMPARE_WITH_TIMEOUT(fixture->server.recordedRequests().size(), 1 + inFlight, 5000);
        testsupport::quietPeriod(200);
        QCOMPARE(fixture->server.recordedRequests().size(), 1 + inFlight);
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);
        for (const QString &path : served.keys())
            QCOMPARE(fixture->installed(path), served[path]);
    }
}

void DownloadsTest::failingFileRetriesFiveSecondsApartThenSkips()
{
    // The one test with the real 5 s pause between attempts.
    served["good.dat"] = patternedBytes(5000, 1);
    served["system/gone.dll"] = patternedBytes(6000, 2);
    auto manager = prepared(5000);
    QVERIFY(manager);
    fixture->server.setFault(FileServerFixture::urlPath("system/gone.dll"), {-1, 404, "no"});

    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy failed(manager.get(), &FileManager::downloadFailed);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    QSignalSpy completed(manager.get(), &FileManager::fileDownloadComplete);
    QSignalSpy retrying(manager.get(), &FileManager::retryScheduled);
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 20000);
    QCOMPARE(ready.size(), 0);
    // The player sees each wait with the attempt to come, and the file the batch gave up on.
    QCOMPARE(retrying.size(), 2);
    const QString reason = QStringLiteral("404 Not Found");
    QCOMPARE(retrying.at(0), (QVariantList{"system/gone.dll", 5000, 2, 3, reason}));
    QCOMPARE(retrying.at(1), (QVariantList{"system/gone.dll", 5000, 3, 3, reason}));
    QCOMPARE(failed.first().at(0).toString(),
             QString("Download failed: 1 file could not be downloaded: system/gone.dll (%1).")
                 .arg(reason));

    const QStringList retries = log.matching("[WARN] Retry ");
    QCOMPARE(retries.size(), 2);
    QVERIFY2(retries[0].contains("Retry 1/3 for system/gone.dll in 5s: "), qPrintable(retries[0]));
    QVERIFY2(retries[1].contains("Retry 2/3 for system/gone.dll in 5s: "), qPrintable(retries[1]));
    const qint64 gap = log.arrivalOf("Retry 2/3") - log.arrivalOf("Retry 1/3");
    QVERIFY2(gap >= 5000 && gap < 8000, qPrintable(QString::number(gap)));
    const QStringList skips =
        log.matching("[ERROR] Skipping system/gone.dll after 3 failed attempts: ");
    QCOMPARE(skips.size(), 1);
    QVERIFY(log.arrivalOf("Skipping system/gone.dll") >= log.arrivalOf("Retry 2/3") + 5000);

    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(),
             QString("Skipped (too many errors): system/gone.dll"));
    QCOMPARE(fixture->requestsFor("system/gone.dll"), 3);
    QCOMPARE(completed.size(), 1);
    QCOMPARE(fixture->installed("good.dat"), served["good.dat"]);
    QVERIFY(!QFile::exists(fixture->gameDir() + "/system/gone.dll"));
    QVERIFY(!QFile::exists(fixture->gameDir() + "/system/gone.dll.tmp"));
    QVERIFY(log.contains("[ERROR] Download incomplete: 1 of 2 files could not be downloaded"));
    QVERIFY(!log.contains("All files downloaded successfully!"));
}

void DownloadsTest::wrongBodyIsRemovedAndRetried()
{
    served["system/engine.dll"] = patternedBytes(40000, 1);
    served["other.dat"] = patternedBytes(1000, 2);
    auto manager = prepared();
    QVERIFY(manager);
    // Same size, other bytes: only the digest can tell.
    DevServer::Fault wrong{1, 200, patternedBytes(40000, 7)};
    wrong.replaceBody = true;
    fixture->server.setFault(FileServerFixture::urlPath("system/engine.dll"), wrong);

    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    connect(manager.get(), &FileManager::downloadProgress, this,
            [this] { QVERIFY(noWrongFileInPlace()); });
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);

    QVERIFY(log.contains("[DEBUG] Hash mismatch for system/engine.dll"));
    QCOMPARE(log.count("[WARN] Retry 1/3 for system/engine.dll in 0s: SHA256 mismatch"), 1);
    QCOMPARE(fixture->requestsFor("system/engine.dll"), 2);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(fixture->installed("system/engine.dll"), served["system/engine.dll"]);

    const qint64 total = 41000;
    QCOMPARE(progress.last(), (QVariantList{100, total, total}));
}

void DownloadsTest::wrongBodyNeverLandsAndProgressStaysWithinTotal()
{
    served["system/engine.dll"] = patternedBytes(30000, 1);
    auto manager = prepared();
    QVERIFY(manager);
    // Always a longer, wrong body: three failures, and the file must never stand in place.
    DevServer::Fault wrong{-1, 200, patternedBytes(90000, 7)};
    wrong.replaceBody = true;
    fixture->server.setFault(FileServerFixture::urlPath("system/engine.dll"), wrong);

    LogCapture log;
    QSignalSpy failed(manager.get(), &FileManager::downloadFailed);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    connect(manager.get(), &FileManager::downloadProgress, this,
            [this] { QVERIFY(noWrongFileInPlace()); });
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);

    // A body longer than the file ends at once, so only part of it has arrived.
    QCOMPARE(log.count("[DEBUG] Size mismatch for system/engine.dll: expected 30000, got "), 3);
    QCOMPARE(log.count("SHA256 mismatch"), 3);
    QCOMPARE(errors.size(), 1);
    QVERIFY(!QFile::exists(fixture->gameDir() + "/system/engine.dll"));
    QVERIFY(!QFile::exists(fixture->gameDir() + "/system/engine.dll.tmp"));
    QVERIFY(!progress.isEmpty());
    for (const auto &arguments : qAsConst(progress)) {
        QVERIFY(arguments.at(0).toInt() <= 100);
        QVERIFY(arguments.at(1).toLongLong() <= 30000);
    }
    QCOMPARE(progress.last().at(1).toLongLong(), Q_INT64_C(0));
}

void DownloadsTest::cutConnectionIsRetried()
{
    const QByteArray content = patternedBytes(400000, 5);
    served["system/cut.dll"] = content;
    auto manager = prepared();
    QVERIFY(manager);
    testsupport::RawHttpServer raw;
    QVERIFY(raw.listen());
    raw.setBody(content);
    LauncherConfig::instance().filesBaseUrl = raw.rootUrl();

    // With a length the cut is a network error; without one the body just ends short.
    for (const bool sendLength : {true, false}) {
        QFile::remove(fixture->gameDir() + "/system/cut.dll");
        QVERIFY(testsupport::loadManifest(*manager));
        QVERIFY(testsupport::verify(*manager));
        raw.setSendLength(sendLength);
        raw.setCut(1, 150000);
        const int requestsBefore = raw.requestCount();

        LogCapture log;
        QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
        QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
        manager->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);

        QCOMPARE(raw.requestCount() - requestsBefore, 2);
        QCOMPARE(log.count("[WARN] Retry 1/3 for system/cut.dll"), 1);
        if (!sendLength)
            QVERIFY(log.contains("Retry 1/3 for system/cut.dll in 0s: SHA256 mismatch"));
        QCOMPARE(fixture->installed("system/cut.dll"), content);
        QCOMPARE(progress.last(),
                 (QVariantList{100, qint64(content.size()), qint64(content.size())}));
    }
}

void DownloadsTest::staleTemporaryFileIsOverwritten()
{
    served["system/l2.ini"] = "[Game]\nfresh=1\n";
    const QString stale = fixture->gameDir() + "/system/l2.ini.tmp";
    QVERIFY(testsupport::writeFile(stale, patternedBytes(200000, 9)));
    auto manager = prepared();
    QVERIFY(manager);
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(fixture->requestsFor("system/l2.ini"), 1);
    QCOMPARE(fixture->installed("system/l2.ini"), served["system/l2.ini"]);
    QVERIFY(!QFile::exists(stale));
}

void DownloadsTest::writeErrorIsAFailedAttempt()
{
#ifdef Q_OS_LINUX
    served["system/full.dat"] = patternedBytes(50000, 3);
    auto manager = prepared();
    QVERIFY(manager);
    // Until the first retry is due, no file of this process may grow past 20,000 bytes: the
    // write fails (EFBIG), as a disk error would, rather than for lack of room.
    rlimit usual{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &usual), 0);
    rlimit small = usual;
    small.rlim_cur = 20000;
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &usual);
        signal(SIGXFSZ, handler);
    });
    connect(manager.get(), &FileManager::retryScheduled, this,
            [&] { setrlimit(RLIMIT_FSIZE, &usual); });
    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QCOMPARE(log.count("[WARN] Retry 1/3 for system/full.dat in 0s: cannot write "), 1);
    QCOMPARE(fixture->installed("system/full.dat"), served["system/full.dat"]);
#else
    QSKIP("needs a file size limit (RLIMIT_FSIZE)");
#endif
}

void DownloadsTest::pendingRetryHoldsBackTheEnd()
{
    served["late.dat"] = patternedBytes(20000, 1);
    served["quick.dat"] = patternedBytes(20000, 2);
    constexpr int retryDelay = 700;
    auto manager = prepared(retryDelay);
    QVERIFY(manager);
    fixture->server.setFault(FileServerFixture::urlPath("late.dat"), {1, 500, "later"});

    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    bool lateInPlaceAtEnd = false;
    connect(manager.get(), &FileManager::allFilesReady, this,
            [&] { lateInPlaceAtEnd = fixture->installed("late.dat") == served["late.dat"]; });
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QVERIFY(lateInPlaceAtEnd);
    QVERIFY(log.arrivalOf("Downloaded and verified: quick.dat") <
            log.arrivalOf("Downloaded and verified: late.dat"));

    testsupport::quietPeriod(2 * retryDelay);
    QCOMPARE(ready.size(), 1);
    QCOMPARE(log.count("All files downloaded successfully!"), 1);
}

void DownloadsTest::unwritableFolderFailsTheBatchOnce()
{
    // Thousands of files, none of which can be written: one failure that names the folder.
    constexpr int count = 2000;
    for (int i = 0; i < count; ++i)
        served[QString("blocked/f%1.dat").arg(i, 4, 10, QChar('0'))] = QByteArray::number(i);
    // A plain file where the folder should be: no temporary file can be created.
    QVERIFY(fixture->install("blocked", "in the way"));
    auto manager = prepared();
    QVERIFY(manager);

    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy failed(manager.get(), &FileManager::downloadFailed);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    manager->startDownload();
    QTRY_COMPARE(failed.size(), 1);
    QCOMPARE(failed.first().at(0).toString(),
             // The count in the player's number format: "2,000" in English.
             QString("Download failed: %L1 files could not be downloaded. Cannot write to %2: "
                     "the folder cannot be created.")
                 .arg(count)
                 .arg(QDir::toNativeSeparators(fixture->gameDir() + "/blocked")));
    QCOMPARE(errors.size(), count);
    QVERIFY(errors.contains(QVariantList{
        QString("Cannot open temp file for writing: blocked/f%1.dat").arg(count - 1)}));
    testsupport::quietPeriod(200);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(ready.size(), 0);
    QCOMPARE(fixture->server.recordedRequests().size(), 1); // the manifest only
}

void DownloadsTest::zeroTotalKeepsPercentAtZero()
{
    served["empty/a.txt"] = QByteArray();
    served["empty/b.txt"] = QByteArray();
    auto manager = prepared();
    QVERIFY(manager);
    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    QSignalSpy completed(manager.get(), &FileManager::fileDownloadComplete);
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QVERIFY(log.contains("[INFO] Starting download of 2 files (0.00 MB)"));
    QCOMPARE(completed.size(), 2);
    for (const auto &arguments : qAsConst(progress))
        QCOMPARE(arguments, (QVariantList{0, qint64(0), qint64(0)}));
    QVERIFY(QFile::exists(fixture->gameDir() + "/empty/a.txt"));
}

void DownloadsTest::contentCheck_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("corrupted"); // what the next verification pass finds
    QTest::addColumn<int>("scanned");   // what Scan and repair finds

    QTest::newRow("nothing changed") << "none" << 0 << 0;
    QTest::newRow("update of the same size") << "update" << 1 << 1;
    QTest::newRow("same-size damage, new time") << "damage" << 1 << 1;
    // Size and time are all the pass looks at for a file it has read before: only the scan, which
    // reads every byte, can see this one.
    QTest::newRow("same-size damage, old time put back") << "damage, old time" << 0 << 1;
    QTest::newRow("retry after a failed repair") << "failed repair" << 1 << 1;
    QTest::newRow("folder change") << "folder" << 1 << 1;
}

// The pass before play compares content, reading only what it has not read before.
void DownloadsTest::contentCheck()
{
    QFETCH(QString, change);
    QFETCH(int, corrupted);
    QFETCH(int, scanned);

    const QByteArray sameSize = patternedBytes(70000, 9);
    served["data/a.dat"] = patternedBytes(70000, 1);
    served["system/b.dll"] = patternedBytes(3000, 2);
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    QVERIFY(installAged(past));
    auto manager = prepared(50);
    QVERIFY(manager);
    QVERIFY(manager->downloadQueue().isEmpty());

    LauncherConfig &config = LauncherConfig::instance();
    const QString a = fixture->gameDir() + "/data/a.dat";
    if (change == "update") {
        QVERIFY(fixture->serve("data/a.dat", sameSize));
        QVERIFY(testsupport::loadManifest(*manager));
    } else if (change == "damage") {
        QVERIFY(fixture->install("data/a.dat", sameSize));
    } else if (change == "damage, old time") {
        QVERIFY(fixture->install("data/a.dat", sameSize));
        QFile file(a);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
    } else if (change == "failed repair") {
        QVERIFY(fixture->serve("data/a.dat", sameSize));
        QVERIFY(testsupport::loadManifest(*manager));
        QVERIFY(testsupport::verify(*manager));
        fixture->server.setFault(FileServerFixture::urlPath("data/a.dat"), {-1, 404, "no"});
        QSignalSpy failed(manager.get(), &FileManager::downloadFailed);
        manager->startDownload();
        QVERIFY(failed.wait(10000));
        QCOMPARE(fixture->installed("data/a.dat"), served["data/a.dat"]);
        fixture->server.clearFaults();
    } else if (change == "folder") {
        // Another copy of the game with the same sizes and times, one file's content different.
        const QString other = fixture->scratchDir();
        QVERIFY(testsupport::writeFile(other + "/data/a.dat", sameSize));
        QVERIFY(testsupport::writeFile(other + "/system/b.dll", served["system/b.dll"]));
        for (const QString &path : served.keys()) {
            QFile file(other + "/" + path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
        }
        config.gameDirectory = other;
    }

    QSignalSpy complete(manager.get(), &FileManager::verificationComplete);
    QSignalSpy progress(manager.get(), &FileManager::verificationProgress);
    QVERIFY(testsupport::verify(*manager));
    QCOMPARE(complete.first(), (QVariantList{0, corrupted}));
    QCOMPARE(manager->downloadQueue().size(), corrupted);
    if (corrupted)
        QCOMPARE(manager->downloadQueue().first().path, QString("data/a.dat"));
    QCOMPARE(progress.last(), (QVariantList{qint64(73000), qint64(73000)}));

    FileScanner scanner;
    QSignalSpy scan(&scanner, &FileScanner::finished);
    scanner.start(manager->currentManifest().files, config.gameDirectory);
    QVERIFY(scan.wait(10000));
    QCOMPARE(scan.first().at(3).toInt(), scanned);
}

// An operator publishes an update: one file re-made at the same size, one grown, one shrunk. The
// next pass fetches exactly those three.
void DownloadsTest::publishedUpdateFetchesExactlyTheChangedFiles()
{
    served["system/same.dat"] = patternedBytes(5000, 1);
    served["textures/stone.utx"] = patternedBytes(40000, 2);
    served["maps/grown.unr"] = patternedBytes(1000, 3);
    served["system/shrunk.int"] = patternedBytes(3000, 4);
    QVERIFY(installAged(QDateTime::currentDateTime().addSecs(-3600)));
    auto manager = prepared();
    QVERIFY(manager);
    QVERIFY(manager->downloadQueue().isEmpty());

    served["textures/stone.utx"] = patternedBytes(40000, 5);
    served["maps/grown.unr"] = patternedBytes(2000, 6);
    served["system/shrunk.int"] = patternedBytes(2500, 7);
    for (const QString path : {"textures/stone.utx", "maps/grown.unr", "system/shrunk.int"})
        QVERIFY(fixture->serve(path, served[path]));
    QVERIFY(testsupport::loadManifest(*manager));
    QSignalSpy complete(manager.get(), &FileManager::verificationComplete);
    QVERIFY(testsupport::verify(*manager));
    QCOMPARE(complete.first(), (QVariantList{0, 3}));
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    manager->startDownload();
    QVERIFY(ready.wait(10000));

    for (const QString &path : served.keys()) {
        QCOMPARE(fixture->installed(path), served[path]);
        QCOMPARE(fixture->requestsFor(path), path == "system/same.dat" ? 0 : 1);
    }

    // What landed was checked as it arrived: the digest cache answers for it as it stands.
    DigestCache cache(DigestCache::defaultFile(fixture->gameDir()), fixture->gameDir());
    auto remembers = [&](const QString &path) {
        const auto stamp = platform::fileStamp((fixture->gameDir() + '/' + path).toStdString());
        return stamp &&
               cache.find(-1, path.toUtf8(), DigestCache::Entry::of(*stamp)) ==
                   QCryptographicHash::hash(served[path], QCryptographicHash::Sha256).toHex();
    };
    QTRY_VERIFY(cache.load() && remembers("textures/stone.utx") && remembers("maps/grown.unr") &&
                remembers("system/shrunk.int"));
    QVERIFY(testsupport::verify(*manager));
    QCOMPARE(complete.last(), (QVariantList{0, 0}));
}

void DownloadsTest::newerVerificationPassWins()
{
    served["a.dat"] = patternedBytes(300000, 1);
    served["b.dat"] = patternedBytes(2000, 2);
    QVERIFY(installAged(QDateTime::currentDateTime().addSecs(-3600)));
    auto manager = prepared();
    QVERIFY(manager);

    // A pass over the complete folder, then at once one over a folder without the game.
    QSignalSpy complete(manager.get(), &FileManager::verificationComplete);
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    manager->verifyFiles();
    LauncherConfig::instance().gameDirectory = fixture->scratchDir();
    manager->verifyFiles();
    QVERIFY(complete.wait(10000));
    testsupport::quietPeriod(300);
    QCOMPARE(complete.size(), 1);
    QCOMPARE(complete.first(), (QVariantList{2, 0}));
    QCOMPARE(ready.size(), 0);
    QCOMPARE(manager->downloadQueue().size(), 2);
    QVERIFY(!manager->isVerifying());
}

// A second start while a batch runs adds only what the batch has never had: a file it gave up on
// stays given up on, and a file in flight is not fetched twice.
void DownloadsTest::secondStartJoinsTheRunningBatch()
{
    served["gone.dat"] = patternedBytes(4000, 1);
    served["slow.dat"] = patternedBytes(6000, 2);
    served["new.dat"] = patternedBytes(2000, 3);
    auto manager = prepared(50);
    QVERIFY(manager);
    const QList<FileEntry> all = manager->downloadQueue();
    QCOMPARE(all.size(), 3);
    QList<FileEntry> first;
    for (const FileEntry &entry : all) {
        if (entry.path != "new.dat")
            first.append(entry);
    }
    fixture->server.setFault(FileServerFixture::urlPath("gone.dat"), {-1, 404, "no"});
    fixture->server.setFault(FileServerFixture::urlPath("slow.dat"), {0, 200, {}, 1500});

    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy failed(manager.get(), &FileManager::downloadFailed);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    manager->setDownloadQueue(first);
    manager->startDownload();
    QTRY_VERIFY(errors.contains(QVariantList{"Skipped (too many errors): gone.dat"}));
    QCOMPARE(failed.size(), 0);
    manager->setDownloadQueue(all);
    manager->startDownload();

    QTRY_COMPARE_WITH_TIMEOUT(failed.size() + ready.size(), 1, 10000);
    QCOMPARE(ready.size(), 0);
    QVERIFY2(failed.first().at(0).toString().startsWith(
                 "Download failed: 1 file could not be downloaded: gone.dat ("),
             qPrintable(failed.first().at(0).toString()));
    QCOMPARE(fixture->requestsFor("gone.dat"), 3);
    QCOMPARE(fixture->requestsFor("slow.dat"), 1);
    QCOMPARE(fixture->installed("slow.dat"), served["slow.dat"]);
    QCOMPARE(fixture->installed("new.dat"), served["new.dat"]);
    QVERIFY(!QFile::exists(fixture->gameDir() + "/gone.dat"));
    testsupport::quietPeriod(200);
    QCOMPARE(failed.size() + ready.size(), 1);
}

// Ten files on four lanes take as long as their bytes need at the limit, all lanes together.
void DownloadsTest::speedLimitHoldsAllLanesTogether()
{
    for (int i = 0; i < 10; ++i)
        served[QStringLiteral("data/%1.dat").arg(i)] = patternedBytes(1 << 20, i + 1);
    auto manager = prepared();
    QVERIFY(manager);
    manager->setSpeedLimit(1 << 20);
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QElapsedTimer clock;
    clock.start();
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);
    const double seconds = clock.elapsed() / 1000.0;
    QVERIFY2(seconds >= 9 && seconds <= 11, qPrintable(QString::number(seconds)));
    QVERIFY(noWrongFileInPlace());
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QCOMPARE(fixture->installed(it.key()), it.value());
}

void DownloadsTest::pauseFetchesNothingAndResumeTakesTheRest_data()
{
    QTest::addColumn<QString>("after"); // what follows the pause
    // More files than transfers at once: some are still queued when the pause comes.
    QTest::addColumn<int>("files");
    QTest::addColumn<qint64>("size");
    QTest::newRow("resume") << "resume" << 6 << qint64(2 << 20);
    QTest::newRow("log out, log in again") << "logout" << 6 << qint64(2 << 20);
    QTest::newRow("quit, start again") << "quit" << 6 << qint64(2 << 20);
    QTest::newRow("resume, one file in ranges") << "resume" << 1 << qint64(24 << 20);
}

// Paused, no byte moves and every part stays; whatever comes next (Resume, a new login, a new
// run) asks only for what is missing.
void DownloadsTest::pauseFetchesNothingAndResumeTakesTheRest()
{
    QFETCH(QString, after);
    QFETCH(int, files);
    QFETCH(qint64, size);
    // nginx counts as sent what its socket's send buffer holds when the pause closes the
    // connection. Over a network's 1,460-byte segments the kernel gives that buffer some 50 KB;
    // over loopback's 64 KiB segments 1.3 MB and more: it is set as a network would have it.
    testsupport::NginxServer nginx;
    const quint16 port = testsupport::NginxServer::freeLoopbackPort();
    QVERIFY2(nginx.startServers(QString("server { listen 127.0.0.1:%1 sndbuf=32k; root \"%2\"; }")
                                    .arg(port)
                                    .arg(fixture->servedDir()),
                                port),
             qPrintable(nginx.errorString()));
    LauncherConfig::instance().filesBaseUrl = nginx.rootUrl();
    for (int i = 0; i < files; ++i)
        served[QStringLiteral("data/%1.dat").arg(i)] = patternedBytes(size, i + 7);
    auto manager = prepared();
    QVERIFY(manager);
    manager->setSpeedLimit(4 << 20);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    manager->startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toInt() >= 25, 10000);
    manager->pauseDownloads();
    QVERIFY(manager->downloadsPaused());

    // A part in ranges is as long as its file: its ranges say what it holds ("from to next").
    const auto onDisk = [&] {
        qint64 bytes = 0;
        for (auto it = served.cbegin(); it != served.cend(); ++it) {
            const QString path = fixture->gameDir() + "/" + it.key();
            const QStringList ranges = testsupport::readLines(path + ".tmp.segments");
            for (int i = 2; i < ranges.size(); ++i)
                bytes += ranges[i].split(' ').value(2).toLongLong() -
                         ranges[i].split(' ').value(0).toLongLong();
            bytes +=
                QFileInfo(path).size() + (ranges.isEmpty() ? QFileInfo(path + ".tmp").size() : 0);
        }
        return bytes;
    };
    testsupport::quietPeriod(300); // the server sees the connections close
    const int requestsAtPause = int(testsupport::readLines(nginx.accessLogPath()).size());
    const qint64 kept = onDisk();
    QVERIFY2(kept > 0 && kept < files * size, qPrintable(QString::number(kept)));
    testsupport::quietPeriod(700); // paused: nothing more arrives
    QCOMPARE(testsupport::readLines(nginx.accessLogPath()).size(), requestsAtPause);
    QCOMPARE(onDisk(), kept);

    if (after == "logout")
        manager->cancelAll();
    if (after == "quit") {
        manager = std::make_unique<FileManager>();
        QVERIFY(testsupport::loadManifest(*manager));
    }
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    if (after == "resume") {
        manager->resumeDownloads();
    } else {
        QVERIFY(!manager->downloadsPaused());
        QVERIFY(testsupport::verify(*manager));
        manager->startDownload();
    }
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QCOMPARE(fixture->installed(it.key()), it.value());
    // The body bytes the server sent after the pause: what was missing, and little more.
    qint64 again = 0;
    const QStringList lines = testsupport::readLines(nginx.accessLogPath());
    for (int i = requestsAtPause; i < lines.size(); ++i)
        again += lines[i].split(' ').value(2).toLongLong();
    const qint64 missing = files * size - kept;
    QVERIFY2(again <= missing * 105 / 100,
             qPrintable(QStringLiteral("%1 bytes for %2 missing").arg(again).arg(missing)));
    // Nor did the pause drop what had crossed the wire: the server sent the files about once.
    qint64 sent = 0;
    for (const QString &line : lines)
        sent += line.split(' ').value(2).toLongLong();
    QVERIFY2(sent <= files * size * 105 / 100,
             qPrintable(QStringLiteral("%1 bytes for %2").arg(sent).arg(files * size)));
}

void DownloadsTest::failedServerGivesWayToTheMirrorAtOnce_data()
{
    QTest::addColumn<QString>("first"); // what the first choice does
    QTest::addColumn<int>("retries");   // attempts counted against the files
    QTest::newRow("cannot be reached") << "closed" << 0;
    QTest::newRow("answers 503") << "503" << 0;
    QTest::newRow("stalls") << "stall" << 0;
    QTest::newRow("sends a wrong file") << "wrong" << 3;
}

// With one bad server of two every file arrives. A host that fails costs no attempt and no pause
// and is not asked again; a wrong file counts an attempt and is asked for elsewhere.
void DownloadsTest::failedServerGivesWayToTheMirrorAtOnce()
{
    QFETCH(QString, first);
    QFETCH(int, retries);
    for (int i = 0; i < 3; ++i)
        served[QStringLiteral("data/%1.dat").arg(i)] = patternedBytes(200000, i + 3);
    testsupport::RawHttpServer raw;
    QVERIFY(raw.listen());
    raw.setBody(patternedBytes(200000, 99));
    if (first == "503")
        raw.setStatus("503 Service Unavailable");
    testsupport::StallingServer stalling;
    QVERIFY(stalling.listenLoopback());
    LauncherConfig &config = LauncherConfig::instance();
    config.filesBaseUrl = first == "closed"  ? QStringLiteral("http://127.0.0.1:1")
                          : first == "stall" ? stalling.rootUrl()
                                             : raw.rootUrl();
    const QString mirror = fixture->server.rootUrl() + "/files";
    config.filesMirrors = QStringList{mirror};
    // One connection: every file after the first either waits behind it on that connection or
    // meets a host already known to have failed.
    config.maxDownloadThreads = 1;
    auto manager = prepared(3000);
    QVERIFY(manager);
    manager->setLowSpeedWindow(1000);
    LogCapture log;
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    QSignalSpy retried(manager.get(), &FileManager::retryScheduled);
    QSignalSpy errors(manager.get(), &FileManager::errorOccurred);
    manager->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QCOMPARE(fixture->installed(it.key()), it.value());
    QCOMPARE(int(retried.size()), retries);
    QCOMPARE(errors.size(), 0);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QVERIFY(log.contains(QStringLiteral("Downloaded %1 from mirror %2").arg(it.key(), mirror)));
    // A host that failed once is left alone for the rest of the batch.
    if (first == "stall")
        QCOMPARE(stalling.requestCount(), 1);
    if (first == "503")
        QCOMPARE(raw.requestCount(), 1);
    if (first == "wrong")
        QCOMPARE(raw.requestCount(), 3);
}

QTEST_GUILESS_MAIN(DownloadsTest)
#include "tst_downloads.moc"
