#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/rawhttpserver.h"
#include "support/smalldisk.h"
#include "support/testsupport.h"
#include "zipwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using testsupport::FileServerFixture;
using testsupport::LogCapture;

// The base-client installer: download to the user's data folder, digest check, extraction by the
// system's tar, the archive gone after every outcome but a cut download, which continues.
class BaseClientTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void installsAndRemovesTheArchive();
    void progressWithoutLengthUsesManifestSize();
    void secondInstallReplacesTheFirst();
    void emptyDigestSkipsTheCheck();
    void digestInCapitalsFails();
    void downloadErrorIsReported();
    void extractorExitCodeIsReported();
    void missingExtractorIsReported();
    void hostileArchiveWritesNothingOutside();
    void plantedLinkIsNotFollowed();
    void uncreatableArchiveIsReported();
    void cutDownloadResumes_data();
    void cutDownloadResumes();
    void pausedDownloadKeepsItsPart_data();
    void pausedDownloadKeepsItsPart();
    void folderShortOfSpaceSaysSo();

private:
    struct Outcome
    {
        bool installed = false;
        QString error;
        int extracting = 0;
        QList<QVariantList> progress;
    };
    // Runs one installation into `target` and waits for its end.
    Outcome install(const BaseClientInfo &info, const QString &target);
    // Serves `source` (a zip or a folder) as the base client and returns the manifest's record.
    BaseClientInfo served(const QString &source);
    // A 3 MiB archive of one game program made from `seed`; empty when it cannot be made.
    QByteArray zippedProgram(const QString &name, int seed);
    QString archivePath() const { return FileManager::baseClientArchivePath(archiveUrl); }
    // Puts a stand-in for the extractor first on the search path, or none at all.
    void useExtractor(const QByteArray &script);

    QTemporaryDir tempDir; // the system's temporary folder (TMPDIR), which the archive stays out of
    QTemporaryDir work;
    QString archiveUrl; // of the base client served or installed last
    QByteArray savedPath;
    std::unique_ptr<FileServerFixture> fixture;
};

void BaseClientTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(tempDir.isValid() && work.isValid());
    // A folder of our own, so parallel test runs do not share the archive's name.
    qputenv("TMPDIR", tempDir.path().toLocal8Bit());
    QCOMPARE(QDir::tempPath(), tempDir.path());
    savedPath = qgetenv("PATH");
}

void BaseClientTest::init()
{
    fixture = std::make_unique<FileServerFixture>();
}

void BaseClientTest::cleanup()
{
    qputenv("PATH", savedPath);
    QFile::remove(archivePath());
}

BaseClientInfo BaseClientTest::served(const QString &source)
{
    if (!fixture->start(source))
        return {};
    FileManager manager;
    if (!testsupport::loadManifest(manager))
        return {};
    archiveUrl = manager.currentManifest().baseClient.url;
    return manager.currentManifest().baseClient;
}

BaseClientTest::Outcome BaseClientTest::install(const BaseClientInfo &info, const QString &target)
{
    Outcome outcome;
    archiveUrl = info.url;
    FileManager manager;
    QSignalSpy installed(&manager, &FileManager::baseClientInstalled);
    QSignalSpy errors(&manager, &FileManager::baseClientError);
    QSignalSpy extracting(&manager, &FileManager::baseClientExtracting);
    QSignalSpy progress(&manager, &FileManager::baseClientDownloadProgress);
    manager.installBaseClient(info, target);
    if (!QTest::qWaitFor([&] { return installed.size() + errors.size() > 0; }, 20000))
        return {};
    testsupport::quietPeriod(50);
    if (installed.size() + errors.size() != 1)
        return {};
    outcome.installed = installed.size() == 1;
    outcome.error = errors.isEmpty() ? QString() : errors.first().at(0).toString();
    outcome.extracting = int(extracting.size());
    for (const auto &arguments : qAsConst(progress))
        outcome.progress.append(arguments);
    return outcome;
}

void BaseClientTest::useExtractor(const QByteArray &script)
{
    const QString bin = work.filePath("bin");
    QDir(bin).removeRecursively();
    QDir().mkpath(bin);
    if (!script.isEmpty()) {
        const QString tool = bin + "/bsdtar";
        QVERIFY(testsupport::writeFile(tool, script));
        QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner));
    }
    qputenv("PATH", bin.toLocal8Bit());
}

void BaseClientTest::installsAndRemovesTheArchive()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/system/l2.exe", testsupport::patternedBytes(300000)));
    QVERIFY(testsupport::writeFile(source + "/system/l2.ini", "[Game]\n"));
    QVERIFY(testsupport::writeFile(source + "/readme.txt", "hello"));
    const BaseClientInfo info = served(source);
    QVERIFY(!info.url.isEmpty());
    QCOMPARE(info.sha256.size(), 64);

    LogCapture log;
    const QString target = work.filePath("install/here"); // created on the way
    const Outcome outcome = install(info, target);
    QVERIFY2(outcome.installed, qPrintable(outcome.error));
    QCOMPARE(outcome.extracting, 1);
    QCOMPARE(testsupport::readLines(target + "/system/l2.ini"), QStringList{"[Game]"});
    QCOMPARE(QFileInfo(target + "/system/l2.exe").size(), 300000);
    QVERIFY(QFile::exists(target + "/readme.txt"));
    QVERIFY(!QFile::exists(archivePath()));

    QVERIFY(!outcome.progress.isEmpty());
    QCOMPARE(outcome.progress.last(), (QVariantList{100, info.size, info.size}));
    QVERIFY(log.contains("[INFO] Downloading base client from: " + info.url));
    QVERIFY(log.contains("[INFO] Destination: " + target));
    QVERIFY(log.contains("[INFO] Verifying archive SHA256..."));
    QVERIFY(log.contains("[INFO] Archive verified. Extracting..."));
    QVERIFY(log.contains("[INFO] Base client installed successfully."));
    const auto requests = fixture->server.recordedRequests("/l2_base_client.zip");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().value("headers").toObject().value("user-agent").toString(),
             QString("Wardgate/1.0"));
}

void BaseClientTest::progressWithoutLengthUsesManifestSize()
{
    const QString zipPath = work.filePath("small.zip");
    ZipWriter zip(zipPath);
    QVERIFY(zip.open() && zip.addFile("a.txt", testsupport::patternedBytes(2 << 20)) &&
            zip.close());
    QFile file(zipPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray archive = file.readAll();

    testsupport::RawHttpServer raw;
    QVERIFY(raw.listen());
    raw.setBody(archive);
    raw.setSendLength(false);
    raw.setPace(256 * 1024, 20);

    // The manifest's size stands in for the missing length; with none, percent stays 0; a body
    // longer than the manifest said never shows more than 100 %.
    for (const qint64 size : {qint64(archive.size()), qint64(archive.size() / 2), qint64(0)}) {
        const Outcome outcome =
            install({raw.rootUrl() + "/l2_base_client.zip", QString(), size}, work.filePath("nl"));
        QVERIFY2(outcome.installed, qPrintable(outcome.error));
        // Only the last report, once the body has ended, knows the real length.
        QVERIFY(outcome.progress.size() >= 2);
        for (const QVariantList &arguments : outcome.progress.mid(0, outcome.progress.size() - 1)) {
            const qint64 received = arguments.at(1).toLongLong();
            QCOMPARE(arguments.at(2).toLongLong(), size);
            QCOMPARE(arguments.at(0).toInt(),
                     size > 0 ? int(qMin(qint64(100), received * 100 / size)) : 0);
        }
        const qint64 length = archive.size();
        QCOMPARE(outcome.progress.last(), (QVariantList{100, length, length}));
    }
}

void BaseClientTest::secondInstallReplacesTheFirst()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/system/l2.exe", testsupport::patternedBytes(900000)));
    const BaseClientInfo info = served(source);
    fixture->server.setFault("/l2_base_client.zip", {0, 200, {}, 300});

    // Asked twice while the first transfer is under way: one archive, one installation.
    FileManager manager;
    QSignalSpy installed(&manager, &FileManager::baseClientInstalled);
    QSignalSpy errors(&manager, &FileManager::baseClientError);
    const QString target = work.filePath("twice");
    manager.installBaseClient(info, target);
    QTRY_COMPARE(fixture->server.recordedRequests("/l2_base_client.zip").size(), 1);
    manager.installBaseClient(info, target);
    QTRY_COMPARE_WITH_TIMEOUT(installed.size(), 1, 20000);
    testsupport::quietPeriod(500);
    QCOMPARE(installed.size(), 1);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(fixture->server.recordedRequests("/l2_base_client.zip").size(), 2);
    QCOMPARE(QFileInfo(target + "/system/l2.exe").size(), 900000);
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::emptyDigestSkipsTheCheck()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    BaseClientInfo info = served(source);
    info.sha256.clear();
    LogCapture log;
    const Outcome outcome = install(info, work.filePath("nodigest"));
    QVERIFY2(outcome.installed, qPrintable(outcome.error));
    QVERIFY(
        log.contains("[INFO] SHA256 not specified in manifest — skipping archive verification"));
    QVERIFY(!log.contains("Verifying archive SHA256..."));
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::digestInCapitalsFails()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    BaseClientInfo info = served(source);
    info.sha256 = info.sha256.toUpper();
    LogCapture log;
    const QString target = work.filePath("capitals");
    const Outcome outcome = install(info, target);
    QCOMPARE(outcome.error, QString("Archive SHA256 mismatch — file corrupted."));
    QCOMPARE(outcome.extracting, 0);
    QCOMPARE(log.count("[ERROR] Archive SHA256 mismatch — file corrupted."), 1);
    QVERIFY(!QFile::exists(target + "/a.txt"));
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::downloadErrorIsReported()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    const BaseClientInfo info = served(source);
    fixture->server.setFault("/l2_base_client.zip", {1, 404, "gone"});
    LogCapture log;
    const Outcome outcome = install(info, work.filePath("error"));
    QVERIFY2(outcome.error.startsWith("Client download failed: "), qPrintable(outcome.error));
    QVERIFY(outcome.error.size() > QString("Client download failed: ").size());
    QCOMPARE(log.count("[ERROR] Client download failed: "), 1);
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::extractorExitCodeIsReported()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    const BaseClientInfo info = served(source);
    useExtractor("#!/bin/sh\necho 'broken archive' >&2\nexit 2\n");
    LogCapture log;
    const Outcome outcome = install(info, work.filePath("code2"));
    QCOMPARE(outcome.error, QString("Extraction failed (code: 2)"));
    QCOMPARE(outcome.extracting, 1);
    QVERIFY(log.contains("[WARN] Extraction output: broken archive"));
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::missingExtractorIsReported()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    const BaseClientInfo info = served(source);
    useExtractor(QByteArray());
    const Outcome outcome = install(info, work.filePath("notool"));
    QCOMPARE(outcome.error, QString("Cannot start bsdtar — install libarchive-tools."));
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::hostileArchiveWritesNothingOutside()
{
    const QString outside = work.filePath("outside");
    QVERIFY(QDir().mkpath(outside));
    const QString zipPath = work.filePath("hostile.zip");
    ZipWriter zip(zipPath);
    QVERIFY(zip.open());
    QVERIFY(zip.addFile("system/good.dll", "good"));
    QVERIFY(zip.addFile("../outside/dotdot.txt", "escaped"));
    QVERIFY(zip.addFile("system/../../outside/deep.txt", "escaped"));
    QVERIFY(zip.addFile(outside + "/absolute.txt", "escaped"));
    QVERIFY(zip.addSymlink("link", outside));
    QVERIFY(zip.addFile("link/through.txt", "escaped"));
    QVERIFY(zip.close());

    const BaseClientInfo info = served(zipPath);
    LogCapture log;
    const QString target = work.filePath("target");
    const Outcome outcome = install(info, target);

    // The extractor refuses the entries, says so by its exit code, and the failure is reported.
    QCOMPARE(outcome.error, QString("Extraction failed (code: 1)"));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(testsupport::readLines(target + "/system/good.dll"), QStringList{"good"});
    // A leading "/" is stripped: that entry lands inside the target.
    QVERIFY(QFile::exists(target + outside + "/absolute.txt"));
    QVERIFY(log.contains("[WARN] Extraction output: "));
    QVERIFY(!QFile::exists(archivePath()));
}

void BaseClientTest::plantedLinkIsNotFollowed()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    const BaseClientInfo info = served(source);
    const QString victim = work.filePath("victim.txt");
    QVERIFY(testsupport::writeFile(victim, "precious"));
    QVERIFY(QDir().mkpath(QFileInfo(archivePath()).absolutePath()));
    QVERIFY(QFile::link(victim, archivePath()));

    const Outcome outcome = install(info, work.filePath("linked"));
    QVERIFY2(outcome.installed, qPrintable(outcome.error));
    QCOMPARE(testsupport::readLines(victim), QStringList{"precious"});
    QVERIFY(!QFileInfo(archivePath()).isSymLink() && !QFile::exists(archivePath()));
}

void BaseClientTest::uncreatableArchiveIsReported()
{
    const QString source = work.filePath("client");
    QVERIFY(testsupport::writeFile(source + "/a.txt", "a"));
    const BaseClientInfo info = served(source);
    // A folder under the archive's name cannot be opened as a file.
    QVERIFY(QDir().mkpath(archivePath()));
    const Outcome outcome = install(info, work.filePath("blocked"));
    QCOMPARE(outcome.error, QString("Cannot open temp file: %1").arg(archivePath()));
    QCOMPARE(fixture->server.recordedRequests("/l2_base_client.zip").size(), 0);
    QVERIFY(QDir().rmdir(archivePath()));
}

QByteArray BaseClientTest::zippedProgram(const QString &name, int seed)
{
    const QString zipPath = work.filePath(name);
    ZipWriter zip(zipPath);
    if (!zip.open() || !zip.addFile("system/l2.exe", testsupport::patternedBytes(3 << 20, seed)) ||
        !zip.close())
        return QByteArray();
    QFile file(zipPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void BaseClientTest::cutDownloadResumes_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("next attempt") << false;
    QTest::newRow("next run") << true;
}

// A cut keeps the part and its validator; the next attempt, by the same launcher or after a
// restart, asks for the rest, and the digest still covers the whole archive.
void BaseClientTest::cutDownloadResumes()
{
    QFETCH(bool, restart);
    const QByteArray archive = zippedProgram("big.zip", 5);
    QVERIFY(!archive.isEmpty());
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex());

    testsupport::RawHttpServer raw;
    QVERIFY(raw.listen());
    raw.setBody(archive);
    raw.setEtag("\"v1\"");
    raw.setHonourRanges(true);
    raw.setCut(1, archive.size() / 2);
    const BaseClientInfo info{raw.rootUrl() + (restart ? "/run.zip" : "/attempt.zip"), digest,
                              archive.size()};
    const QString target = work.filePath(restart ? "run" : "attempt");

    auto manager = std::make_unique<FileManager>();
    QSignalSpy errors(manager.get(), &FileManager::baseClientError);
    manager->installBaseClient(info, target);
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 20000);
    archiveUrl = info.url;
    QCOMPARE(QFileInfo(archivePath()).size(), archive.size() / 2);
    QVERIFY(QFile::exists(archivePath() + ".validator"));

    if (restart)
        manager = std::make_unique<FileManager>();
    QSignalSpy installed(manager.get(), &FileManager::baseClientInstalled);
    manager->installBaseClient(info, target);
    QTRY_COMPARE_WITH_TIMEOUT(installed.size(), 1, 20000);
    QCOMPARE(QFileInfo(target + "/system/l2.exe").size(), qint64(3 << 20));
    QVERIFY(!QFile::exists(archivePath()) && !QFile::exists(archivePath() + ".validator"));
    QCOMPARE(raw.requestCount(), 2);
    QVERIFY(raw.requestHeads().last().toLower().contains("if-range: \"v1\""));
    const qint64 again = raw.bodyBytesSent() - archive.size() / 2;
    QVERIFY2(again <= archive.size() * 55 / 100, qPrintable(QString::number(again)));
}

void BaseClientTest::pausedDownloadKeepsItsPart_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("resume") << false;
    QTest::newRow("quit while paused, start again") << true;
}

// Paused, the archive's download fetches nothing and keeps its part; Resume, or the next run,
// asks only for the rest.
void BaseClientTest::pausedDownloadKeepsItsPart()
{
    QFETCH(bool, restart);
    const QByteArray archive = zippedProgram("paused.zip", 6);
    QVERIFY(!archive.isEmpty());
    testsupport::RawHttpServer raw;
    QVERIFY(raw.listen());
    raw.setBody(archive);
    raw.setEtag("\"v1\"");
    raw.setHonourRanges(true);
    raw.setPace(1 << 16, 20);
    const BaseClientInfo info{
        raw.rootUrl() + "/paused.zip",
        QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex()),
        archive.size()};
    archiveUrl = info.url;
    const QString target = work.filePath(restart ? "paused-run" : "paused");

    auto manager = std::make_unique<FileManager>();
    QSignalSpy errors(manager.get(), &FileManager::baseClientError);
    QSignalSpy progress(manager.get(), &FileManager::baseClientDownloadProgress);
    manager->installBaseClient(info, target);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toInt() >= 30, 10000);
    manager->pauseDownloads();
    QVERIFY(manager->downloadsPaused());
    testsupport::quietPeriod(300); // the server sees the connection close
    const qint64 sentAtPause = raw.bodyBytesSent();
    const qint64 kept = QFileInfo(archivePath()).size();
    QVERIFY(kept > 0 && kept < archive.size());
    testsupport::quietPeriod(700); // paused: nothing more arrives
    QCOMPARE(raw.bodyBytesSent(), sentAtPause);
    QCOMPARE(QFileInfo(archivePath()).size(), kept);
    QCOMPARE(errors.size(), 0);

    if (restart)
        manager = std::make_unique<FileManager>();
    QSignalSpy installed(manager.get(), &FileManager::baseClientInstalled);
    if (restart)
        manager->installBaseClient(info, target);
    else
        manager->resumeDownloads();
    QTRY_COMPARE_WITH_TIMEOUT(installed.size(), 1, 20000);
    QCOMPARE(QFileInfo(target + "/system/l2.exe").size(), qint64(3 << 20));
    const qint64 again = raw.bodyBytesSent() - sentAtPause;
    QVERIFY2(again <= (archive.size() - kept) * 105 / 100, qPrintable(QString::number(again)));
}

// An archive that unpacks to more than the folder's disk holds is refused before a file of it is
// written, and the player is told how much more is needed.
void BaseClientTest::folderShortOfSpaceSaysSo()
{
    testsupport::SmallDisk disk(work.filePath("small disk"), 30);
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.problem()));
    const QString zipPath = work.filePath("big.zip");
    {
        ZipWriter zip(zipPath);
        QVERIFY(zip.open() && zip.addFile("data/a.pak", testsupport::patternedBytes(20 << 20)) &&
                zip.addFile("data/b.pak", testsupport::patternedBytes(14 << 20, 1)) && zip.close());
    }
    const BaseClientInfo info = served(zipPath);
    QVERIFY(!info.url.isEmpty());
    const QString target = work.filePath("small disk/game");
    QVERIFY(QDir().mkpath(target));
    const Outcome outcome = install(info, target);
    QVERIFY(!outcome.installed);
    // 34 MiB of files for a 30 MiB disk.
    QCOMPARE(outcome.error, QStringLiteral("Not enough disk space in %1: 4.0 MB more needed")
                                .arg(QDir::toNativeSeparators(target)));
    QCOMPARE(outcome.extracting, 0);
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(!QFile::exists(archivePath()));
}

QTEST_GUILESS_MAIN(BaseClientTest)
#include "tst_baseclient.moc"
