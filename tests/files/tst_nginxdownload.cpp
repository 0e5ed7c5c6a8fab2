#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/nginxserver.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
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

private:
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

QTEST_GUILESS_MAIN(NginxDownloadTest)
#include "tst_nginxdownload.moc"
