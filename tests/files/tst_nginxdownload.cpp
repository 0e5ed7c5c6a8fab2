#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/nginxserver.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// A deployment as it would really be served: the manifest and the files as static files from
// nginx on loopback, fetched by the launcher's own download engine.
class NginxDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void downloadsEveryFileOfTheManifest();
    void resumesThePartOfAnEarlierRun();
    void manySmallFilesOverHttpsFromAnHttp2Server();
    void fullDiskStopsAtOnceAndKeepsTheParts();

private:
    // Serves `files` below site/files with a manifest beside them and points the launcher at it.
    bool publish(const QMap<QString, QByteArray> &files, const QString &site,
                 testsupport::NginxServer &nginx, const testsupport::NginxTls &tls = {});

    QTemporaryDir root;
};

void NginxDownloadTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(root.isValid());
}

void NginxDownloadTest::downloadsEveryFileOfTheManifest()
{
    const QString site = root.filePath("site");
    const QString game = root.filePath("game");
    QMap<QString, QByteArray> files{
        {"system/l2.exe", testsupport::patternedBytes(12 << 20, 1)},
        {"system/engine.dll", testsupport::patternedBytes(3 << 20, 2)},
        {"system/l2.ini", "[Game]\nLanguage=en\n"},
        {"maps/20_21.unr", testsupport::patternedBytes(700000, 3)},
        {"textures/empty.utx", QByteArray()},
    };
    for (int i = 0; i < 40; ++i)
        files.insert(QString("sounds/s%1.uax").arg(i),
                     testsupport::patternedBytes(1000 + 97 * i, i));

    QJsonArray entries;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(testsupport::writeFile(site + "/files/" + it.key(), it.value()));
        const QByteArray digest = QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256);
        entries.append(QJsonObject{{"path", it.key()},
                                   {"size", double(it.value().size())},
                                   {"sha256", QString::fromLatin1(digest.toHex())}});
    }
    const QJsonObject manifest{{"version", "2024.1"}, {"files", entries}};
    QVERIFY(testsupport::writeFile(site + "/manifest.json", QJsonDocument(manifest).toJson()));

    testsupport::NginxServer nginx;
    QVERIFY2(nginx.start(site), qPrintable(nginx.errorString()));
    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = nginx.rootUrl() + "/manifest.json";
    config.filesBaseUrl = nginx.rootUrl() + "/files";
    config.gameDirectory = game;
    config.maxDownloadThreads = 4;
    // A stale file of the wrong size is replaced as well.
    QVERIFY(testsupport::writeFile(game + "/system/l2.ini", "old"));

    testsupport::LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QSignalSpy counts(&manager, &FileManager::verificationComplete);
    QVERIFY(testsupport::verify(manager));
    QCOMPARE(counts.first(), (QVariantList{int(files.size()) - 1, 1}));

    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    QSignalSpy progress(&manager, &FileManager::downloadProgress);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 60000);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(log.count("Downloaded and verified: "), files.size());
    QCOMPARE(progress.last().at(0).toInt(), 100);

    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(game + "/" + it.key());
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(it.key()));
        QVERIFY2(file.readAll() == it.value(), qPrintable(it.key()));
    }

    // A second pass finds everything in order.
    counts.clear();
    ready.clear();
    QVERIFY(testsupport::verify(manager));
    QCOMPARE(counts.first(), (QVariantList{0, 0}));
    QCOMPARE(ready.size(), 1);
}

bool NginxDownloadTest::publish(const QMap<QString, QByteArray> &files, const QString &site,
                                testsupport::NginxServer &nginx, const testsupport::NginxTls &tls)
{
    QJsonArray entries;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!testsupport::writeFile(site + "/files/" + it.key(), it.value()))
            return false;
        const QByteArray digest = QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256);
        entries.append(QJsonObject{{"path", it.key()},
                                   {"size", double(it.value().size())},
                                   {"sha256", QString::fromLatin1(digest.toHex())}});
    }
    const QJsonObject manifest{{"version", "2024.2"}, {"files", entries}};
    if (!testsupport::writeFile(site + "/manifest.json", QJsonDocument(manifest).toJson()) ||
        !nginx.start(site, tls))
        return false;
    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = nginx.rootUrl() + "/manifest.json";
    config.filesBaseUrl = nginx.rootUrl() + "/files";
    config.gameDirectory = root.filePath(QFileInfo(site).fileName() + "-game");
    config.maxDownloadThreads = 4;
    return true;
}

void NginxDownloadTest::resumesThePartOfAnEarlierRun()
{
    const QByteArray content = testsupport::patternedBytes(3 << 20, 5);
    const QString site = root.filePath("resume");
    testsupport::NginxServer nginx;
    QVERIFY2(publish({{"system/engine.dll", content}}, site, nginx),
             qPrintable(nginx.errorString()));

    // What a run cut off after 1 MiB leaves: the part and nginx's validator for the file
    // (its ETag is the modification time and the size, in hex).
    const QFileInfo served(site + "/files/system/engine.dll");
    const QString part = LauncherConfig::instance().gameDirectory + "/system/engine.dll.tmp";
    QVERIFY(testsupport::writeFile(part, content.left(1 << 20)));
    const QString etag = QString("\"%1-%2\"")
                             .arg(served.lastModified().toSecsSinceEpoch(), 0, 16)
                             .arg(served.size(), 0, 16);
    QVERIFY(testsupport::writeFile(part + ".validator", etag.toLatin1()));

    testsupport::LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QVERIFY(testsupport::verify(manager));
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy progress(&manager, &FileManager::downloadProgress);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 30000);
    QVERIFY(log.contains("[INFO] Resuming system/engine.dll at 1048576 bytes"));
    QVERIFY(!log.contains("Retry"));
    // The part's bytes count too: without them the batch would end short of its total.
    QCOMPARE(progress.last(), (QVariantList{100, qint64(content.size()), qint64(content.size())}));
    QCOMPARE(testsupport::readFile(LauncherConfig::instance().gameDirectory + "/system/engine.dll"),
             content);
    QVERIFY(!QFile::exists(part) && !QFile::exists(part + ".validator"));
}

void NginxDownloadTest::manySmallFilesOverHttpsFromAnHttp2Server()
{
    // More files than nginx serves over one connection, so it closes connections in mid-batch.
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 1500; ++i)
        files.insert(QString("sounds/%1/s%2.uax").arg(i / 100).arg(i),
                     testsupport::patternedBytes(500 + i, i));
    testsupport::SelfSignedCertificate certificate;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(root.path(), &certificate, &error),
             qPrintable(error));
    // Trusted by this test alone.
    QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
    trusted.addCaCertificate(certificate.certificate);
    QSslConfiguration::setDefaultConfiguration(trusted);
    const QString site = root.filePath("https");
    testsupport::NginxServer nginx;
    QVERIFY2(
        publish(files, site, nginx, {root.filePath("cert.pem"), root.filePath("key.pem"), true}),
        qPrintable(nginx.errorString()));

    testsupport::LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QVERIFY(testsupport::verify(manager));
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 120000);
    // No failed attempt, so no 5 s pause, and no request left hanging to its time-out.
    QCOMPARE(errors.size(), 0);
    QVERIFY2(log.count("[WARN] Retry ") == 0, qPrintable(log.matching("Retry ").join('\n')));
    QCOMPARE(log.count("Downloaded and verified: "), files.size());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY2(testsupport::readFile(LauncherConfig::instance().gameDirectory + "/" + it.key()) ==
                     it.value(),
                 qPrintable(it.key()));
    }
}

// 34 MiB of files into a 30 MiB folder: the write that finds no room ends the download at once,
// with no retry and the room still needed; the parts stay, and once there is room the next start
// goes on from them.
void NginxDownloadTest::fullDiskStopsAtOnceAndKeepsTheParts()
{
    const QMap<QString, QByteArray> files{
        {"data/a.pak", testsupport::patternedBytes(20 << 20, 7)},
        {"data/b.pak", testsupport::patternedBytes(14 << 20, 8)},
    };
    const QString site = root.filePath("full");
    testsupport::NginxServer nginx;
    QVERIFY2(publish(files, site, nginx), qPrintable(nginx.errorString()));
    const QString game = LauncherConfig::instance().gameDirectory;
    QVERIFY(QDir().mkpath(game));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=30m", "tmpfs", game}) != 0)
        QSKIP("cannot mount a 30 MiB tmpfs here (needs root and mount rights)");
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {game}); });

    testsupport::LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QVERIFY(testsupport::verify(manager));
    QSignalSpy failed(&manager, &FileManager::downloadFailed);
    QSignalSpy retries(&manager, &FileManager::retryScheduled);
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 30000);
    const QString text = failed.first().at(0).toString();
    const QRegularExpressionMatch match =
        QRegularExpression("^Not enough disk space in " +
                           QRegularExpression::escape(QDir::toNativeSeparators(game)) +
                           ": (\\d+\\.\\d) MB more needed$")
            .match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    // About the 4 MiB the folder lacks.
    const double needed = match.captured(1).toDouble();
    QVERIFY2(needed >= 3.5 && needed <= 8, qPrintable(text));
    testsupport::quietPeriod(300); // a retry or a second failure would show here
    QCOMPARE(failed.size(), 1);
    QCOMPARE(retries.size(), 0);
    QCOMPARE(ready.size(), 0);
    QVERIFY2(log.count("[WARN] Retry ") == 0, qPrintable(log.matching("Retry ").join('\n')));
    QString unfinished;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (testsupport::readFile(game + "/" + it.key()) != it.value())
            unfinished = it.key();
    }
    QVERIFY(!unfinished.isEmpty());
    QVERIFY(QFileInfo(game + "/" + unfinished + ".tmp").size() > 0);

    // Room made: the next start lands both, asking only for what the part lacks.
    QCOMPARE(QProcess::execute("mount", {"-o", "remount,size=64m", game}), 0);
    const int requestsBefore = int(testsupport::readLines(nginx.accessLogPath()).size());
    QVERIFY(testsupport::verify(manager));
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 30000);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY2(testsupport::readFile(game + "/" + it.key()) == it.value(), qPrintable(it.key()));
    qint64 again = 0;
    const QStringList lines = testsupport::readLines(nginx.accessLogPath());
    for (int i = requestsBefore; i < lines.size(); ++i)
        again += lines[i].split(' ').value(2).toLongLong();
    QVERIFY2(again < files[unfinished].size(),
             qPrintable(QStringLiteral("%1 bytes for %2").arg(again).arg(unfinished)));
}

QTEST_GUILESS_MAIN(NginxDownloadTest)
#include "tst_nginxdownload.moc"
