#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/endlessserver.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <limits>
#include <memory>

using testsupport::FileServerFixture;
using testsupport::LogCapture;

// The manifest document and the verification pass over the game directory.
class ManifestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void readsFieldsAndSizes();
    void dropsIncompleteElements();
    void dropsUnsafeAndDuplicatePaths();
    void refusesEntriesWhenRead_data();
    void refusesEntriesWhenRead();
    void joinsFilesBaseUrl();
    void emptyFilesSucceedsWithWarning();
    void parseFailureLoggedTwiceSignalledOnce();
    void networkErrorKeepsPreviousManifest();
    void baseClientKeptWhenLaterManifestLacksIt();
    void verificationCountsAndQueue();
    void verificationOfEmptyManifest();
    void downloadStartedFromVerificationSignal();
    void hugeSizesNeverWrapTheTotal();
    void destructionWaitsForVerification();
    void bigGameFitsTheSizeBound();
    void endlessManifestStopsAtTheBound();

private:
    void serveManifest(const QJsonObject &document);

    std::unique_ptr<FileServerFixture> fixture;
};

namespace {

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject fileElement(const QString &path, const QJsonValue &size = 1,
                        const QString &sha256 = QString(64, QLatin1Char('a')))
{
    QJsonObject element{{"path", path}, {"sha256", sha256}, {"url", "http://x/" + path}};
    if (!size.isUndefined())
        element.insert("size", size);
    return element;
}

} // namespace

void ManifestTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void ManifestTest::init()
{
    fixture = std::make_unique<FileServerFixture>();
    QVERIFY(fixture->start());
}

void ManifestTest::serveManifest(const QJsonObject &document)
{
    const QByteArray body = json(document);
    fixture->server.addRoute("GET", "/manifest.json", [body](const DevServer::Request &) {
        return DevServer::Reply::text(body);
    });
}

void ManifestTest::readsFieldsAndSizes()
{
    Manifest manifest;
    QJsonArray files{fileElement("big.pak", 5368709120.0), fileElement("text.ini", "1024"),
                     fileElement("nosize.dat", QJsonValue::Undefined)};
    QVERIFY(manifest.parse(json(
        {{"version", "7.1"},
         {"files", files},
         {"base_client",
          QJsonObject{{"url", "http://h/c.zip"}, {"sha256", "cd"}, {"size", 6442450944.0}}}})));
    QCOMPARE(manifest.version, QString("7.1"));
    QCOMPARE(manifest.files.size(), 3);
    QCOMPARE(manifest.files[0].size, Q_INT64_C(5368709120));
    QCOMPARE(manifest.files[1].size, Q_INT64_C(1024));
    QCOMPARE(manifest.files[2].size, Q_INT64_C(0));
    QCOMPARE(manifest.files[1].url, QString("http://x/text.ini"));
    QCOMPARE(manifest.files[1].attempts, 0);
    QCOMPARE(manifest.baseClient.url, QString("http://h/c.zip"));
    QCOMPARE(manifest.baseClient.sha256, QString("cd"));
    QCOMPARE(manifest.baseClient.size, Q_INT64_C(6442450944));

    // No version: a warning, and the document still counts.
    LogCapture log;
    QVERIFY(manifest.parse(json({{"files", QJsonArray{fileElement("a")}}})));
    QVERIFY(manifest.version.isEmpty());
    QCOMPARE(log.matching("[WARN] Manifest version is missing").size(), 1);
}

void ManifestTest::dropsIncompleteElements()
{
    LogCapture log;
    Manifest manifest;
    QJsonObject noDigest = fileElement("nodigest.dat");
    noDigest.remove("sha256");
    // No file has a negative size, nor one beyond 64 bits (which would wrap the batch's total).
    QJsonArray files{fileElement("first.dat"),
                     noDigest,
                     fileElement(""),
                     42,
                     "text",
                     QJsonArray{1},
                     fileElement("minus.dat", -1),
                     fileElement("minustext.dat", "-5"),
                     fileElement("huge.dat", 1e19),
                     fileElement("last.dat", 9.2e18)};
    QVERIFY(manifest.parse(json({{"version", "1"}, {"files", files}})));

    QCOMPARE(manifest.files.size(), 2);
    QCOMPARE(manifest.files[0].path, QString("first.dat"));
    QCOMPARE(manifest.files[1].path, QString("last.dat"));
    QCOMPARE(manifest.files[1].size, Q_INT64_C(9200000000000000000));
    // One warning for each dropped object, none for the elements that are not objects.
    QCOMPARE(log.count("[WARN] Invalid file entry in manifest:"), 5);
    QCOMPARE(log.count("[WARN] Invalid file entry in manifest: nodigest.dat"), 1);
    QCOMPARE(log.count("[WARN] Invalid file entry in manifest: huge.dat"), 1);
    QVERIFY(log.contains("[INFO] Manifest parsed: version 1, 2 files"));
}

void ManifestTest::dropsUnsafeAndDuplicatePaths()
{
    const QStringList unsafe{
        "/etc/passwd", "C:/Windows/evil.dll", "c:evil.dll", "../evil.dll", "system/../../evil.dll",
        "system/..",   "system\\evil.dll",    ".",          "./",          "system/./.."};
    // A name that is another entry's temporary name, either way round, would share its file.
    QJsonArray files{fileElement("system/ok.dll"),
                     fileElement("./system/ok.dll"),
                     fileElement("system//ok.dll"),
                     fileElement("system/OK.dll"),
                     fileElement("system/ok.dll.tmp"),
                     fileElement("data/x.tmp"),
                     fileElement("data/x")};
    for (const QString &path : unsafe)
        files.append(fileElement(path));

    LogCapture log;
    Manifest manifest;
    QVERIFY(manifest.parse(json({{"version", "1"}, {"files", files}})));

    // The first entry for a file wins; spellings of the same path are later duplicates.
    QStringList kept;
    for (const FileEntry &entry : qAsConst(manifest.files))
        kept.append(entry.path);
    // Names that differ only in case are one file on Windows: refused everywhere, as the
    // manifest tool refuses them.
    QCOMPARE(kept, (QStringList{"system/ok.dll", "data/x.tmp"}));
    for (const QString &path : unsafe)
        QVERIFY2(log.count("Invalid file entry in manifest: " + path) >= 1, qPrintable(path));
    QCOMPARE(log.count("Invalid file entry in manifest: ./system/ok.dll"), 1);
    QCOMPARE(log.count("Invalid file entry in manifest: system//ok.dll"), 1);
    QCOMPARE(log.count("Invalid file entry in manifest: system/ok.dll.tmp"), 1);
    QCOMPARE(log.count("Invalid file entry in manifest: data/x"), 1);
}

void ManifestTest::refusesEntriesWhenRead_data()
{
    QTest::addColumn<QJsonArray>("files"); // the last one is refused, the others kept
    QTest::addColumn<QString>("reason");
    const auto paths = [](const QStringList &names) {
        QJsonArray files;
        for (const QString &name : names)
            files.append(fileElement(name));
        return files;
    };
    // Whichever of a file and a folder of one name landed second would fail.
    QTest::newRow("file, then a folder of its name")
        << paths({"data/a.dat", "data/a.dat/inner.dat"}) << "a folder where data/a.dat is a file";
    QTest::newRow("folder, then a file of its name")
        << paths({"data/a.dat/inner.dat", "data/A.dat"}) << "a file where data/a.dat/inner.dat";
    QTest::newRow("a folder where a file's part goes")
        << paths({"data/a.dat", "data/a.dat.tmp/x"}) << "a folder where data/a.dat is a file";
    QTest::newRow("trailing slash") << paths({"data/a", "data/a/"}) << "an empty piece in the name";
    QTest::newRow("double slash") << paths({"b//c"}) << "an empty piece in the name";
    QTest::newRow("part name with a slash") << paths({"f.tmp/"}) << "an empty piece in the name";
    for (const QChar c : QStringView(u"<>:\"|?*"))
        QTest::newRow(qPrintable(QStringLiteral("Windows refuses %1").arg(c)))
            << paths({QStringLiteral("data/x%1y.dat").arg(c)})
            << QStringLiteral("a character Windows refuses in a name (%1)").arg(c);
    QTest::newRow("dot piece first") << paths({"./x"}) << "a \".\" piece in the name";
    QTest::newRow("dot piece inside") << paths({"data/./x"}) << "a \".\" piece in the name";
    QTest::newRow("300 characters") << paths({"ok.dat", QString(300, QLatin1Char('n'))})
                                    << "a piece of the name longer than 255 characters";
    QTest::newRow("255 bytes of UTF-8 at most")
        << paths({QString(128, QChar(0x00e9))}) << "a piece of the name longer than 255";
    QTest::newRow("size that is no number")
        << QJsonArray{fileElement("a.dat", "abc")} << "a size that is not a number";
    QTest::newRow("size of another type")
        << QJsonArray{fileElement("a.dat", true)} << "a size that is not a number";
    QTest::newRow("upper-case SHA-256")
        << QJsonArray{fileElement("a.dat", 1, QString(64, QLatin1Char('A')))}
        << "a SHA-256 that is not 64 lower-case hex digits";
    QTest::newRow("SHA-256 too short")
        << QJsonArray{fileElement("a.dat", 1, QString(63, QLatin1Char('a')))}
        << "a SHA-256 that is not 64 lower-case hex digits";
    QTest::newRow("SHA-256 not hex")
        << QJsonArray{fileElement("a.dat", 1, QString(64, QLatin1Char('g')))}
        << "a SHA-256 that is not 64 lower-case hex digits";
}

// What could never land, or never match, is refused as the manifest is read, with its reason,
// and not after three downloads of it.
void ManifestTest::refusesEntriesWhenRead()
{
    QFETCH(QJsonArray, files);
    QFETCH(QString, reason);
    LogCapture log;
    Manifest manifest;
    QVERIFY(manifest.parse(json({{"version", "1"}, {"files", files}})));
    QCOMPARE(manifest.files.size(), files.size() - 1);
    QCOMPARE(manifest.refusedEntries, 1);
    for (qsizetype i = 0; i + 1 < files.size(); ++i)
        QCOMPARE(manifest.files.at(i).path, files.at(i).toObject().value("path").toString());
    const QString refused = files.last().toObject().value("path").toString();
    const QStringList lines = log.matching("[WARN] Invalid file entry in manifest: " + refused);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains("(" + reason), qPrintable(lines.first()));
}

void ManifestTest::joinsFilesBaseUrl()
{
    LauncherConfig &config = LauncherConfig::instance();
    Manifest manifest;
    const QJsonObject document{{"version", "1"},
                               {"files", QJsonArray{fileElement("system/a b.dll")}}};

    config.filesBaseUrl = "http://cdn.example/files/";
    QVERIFY(manifest.parse(json(document)));
    QCOMPARE(manifest.files[0].url, QString("http://cdn.example/files//system/a b.dll"));

    config.filesBaseUrl = "http://cdn.example/files";
    QVERIFY(manifest.parse(json(document)));
    QCOMPARE(manifest.files[0].url, QString("http://cdn.example/files/system/a b.dll"));

    config.filesBaseUrl.clear();
    QVERIFY(manifest.parse(json(document)));
    QCOMPARE(manifest.files[0].url, QString("http://x/system/a b.dll"));
}

void ManifestTest::emptyFilesSucceedsWithWarning()
{
    serveManifest({{"version", "2.5"}, {"files", QJsonArray()}});
    LogCapture log;
    FileManager manager;
    QSignalSpy done(&manager, &FileManager::manifestDownloaded);
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    manager.downloadManifest();
    QVERIFY(done.wait(10000));

    QCOMPARE(done.first(), (QVariantList{true, QString("Version: 2.5")}));
    QCOMPARE(errors.size(), 0);
    QVERIFY(manager.currentManifest().files.isEmpty());
    QCOMPARE(log.count("[WARN] No files in manifest"), 1);
    QVERIFY(log.contains("[INFO] Downloading manifest from: " + fixture->server.rootUrl() +
                         "/manifest.json"));
    QVERIFY(log.contains("[INFO] Manifest downloaded successfully (version: 2.5)"));

    const auto requests = fixture->server.recordedRequests("/manifest.json");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().value("headers").toObject().value("user-agent").toString(),
             QString("Wardgate/1.0"));
}

void ManifestTest::parseFailureLoggedTwiceSignalledOnce()
{
    struct Case
    {
        QByteArray body;
        QString parserText;
    };
    const QList<Case> cases{
        {"{\"version\": \"1\", ", "JSON parse error: "},
        {"[1, 2]", "Invalid manifest format: root is not an object"},
    };
    for (const Case &c : cases) {
        fixture->server.addRoute("GET", "/manifest.json", [c](const DevServer::Request &) {
            return DevServer::Reply::text(c.body);
        });
        LogCapture log;
        FileManager manager;
        QSignalSpy done(&manager, &FileManager::manifestDownloaded);
        QSignalSpy errors(&manager, &FileManager::errorOccurred);
        manager.downloadManifest();
        QVERIFY(done.wait(10000));

        QCOMPARE(done.size(), 1);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(done.first().at(0).toBool(), false);
        const QString text = done.first().at(1).toString();
        QVERIFY2(text.startsWith("Failed to parse manifest: " + c.parserText), qPrintable(text));
        QCOMPARE(errors.first().at(0).toString(), text);
        QCOMPARE(log.count("[ERROR]"), 2);
        QCOMPARE(log.count("[ERROR] " + c.parserText), 1);
        QCOMPARE(log.count("[ERROR] " + text), 1);
    }
}

void ManifestTest::networkErrorKeepsPreviousManifest()
{
    QVERIFY(fixture->serve("system/l2.exe", "game"));
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QCOMPARE(manager.currentManifest().files.size(), 1);

    fixture->server.setFault("/manifest.json", {1, 503, "busy"});
    LogCapture log;
    QSignalSpy done(&manager, &FileManager::manifestDownloaded);
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    manager.downloadManifest();
    QVERIFY(done.wait(10000));

    QCOMPARE(done.first().at(0).toBool(), false);
    QVERIFY(done.first().at(1).toString().startsWith("Failed to download manifest: "));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(log.count("[ERROR] Failed to download manifest: "), 1);
    QCOMPARE(manager.currentManifest().files.size(), 1);
    QCOMPARE(manager.currentManifest().files[0].path, QString("system/l2.exe"));
}

void ManifestTest::baseClientKeptWhenLaterManifestLacksIt()
{
    const QJsonObject base{{"url", "http://h/client.zip"}, {"sha256", "ef"}, {"size", 99}};
    FileManager manager;
    serveManifest({{"version", "1"}, {"base_client", base}, {"files", QJsonArray()}});
    QVERIFY(testsupport::loadManifest(manager));
    serveManifest({{"version", "2"}, {"files", QJsonArray{fileElement("a.dat")}}});
    QVERIFY(testsupport::loadManifest(manager));

    const Manifest &manifest = manager.currentManifest();
    QCOMPARE(manifest.version, QString("2"));
    QCOMPARE(manifest.files.size(), 1);
    QCOMPARE(manifest.baseClient.url, QString("http://h/client.zip"));
    QCOMPARE(manifest.baseClient.sha256, QString("ef"));
    QCOMPARE(manifest.baseClient.size, Q_INT64_C(99));
}

void ManifestTest::verificationCountsAndQueue()
{
    const QByteArray good = "good content";
    const QByteArray resized = testsupport::patternedBytes(2000, 1);
    const QByteArray sameSize = testsupport::patternedBytes(3000, 2);
    const QByteArray missing = testsupport::patternedBytes(4000, 3);
    QVERIFY(fixture->serve("good.dat", good));
    QVERIFY(fixture->serve("system/resized.dat", resized));
    QVERIFY(fixture->serve("system/samesize.dat", sameSize));
    QVERIFY(fixture->serve("system/deep/missing.dat", missing));
    QVERIFY(fixture->install("good.dat", good));
    QVERIFY(fixture->install("system/resized.dat", "short"));
    // Right size, other bytes: the pass compares content, so this one is fetched too.
    QVERIFY(fixture->install("system/samesize.dat", testsupport::patternedBytes(3000, 9)));

    LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QSignalSpy counts(&manager, &FileManager::verificationComplete);
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    manager.verifyFiles();
    QVERIFY(counts.wait(10000));

    QCOMPARE(counts.first(), (QVariantList{1, 2}));
    QCOMPARE(ready.size(), 0);
    QVERIFY(log.contains("[DEBUG] Missing: system/deep/missing.dat"));
    QVERIFY(log.contains("[DEBUG] Corrupted: system/resized.dat"));
    QVERIFY(log.contains("[DEBUG] Size mismatch for system/resized.dat: expected 2000, got 5"));
    QVERIFY(log.contains("[DEBUG] Corrupted: system/samesize.dat"));
    QVERIFY(log.contains("[DEBUG] Hash mismatch for system/samesize.dat"));
    QVERIFY(log.contains("[INFO] Verification complete: 1 missing, 2 corrupted, 3 need download"));

    // The queue that the pass left is exactly what gets fetched.
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QCOMPARE(fixture->requestsFor("system/resized.dat"), 1);
    QCOMPARE(fixture->requestsFor("system/deep/missing.dat"), 1);
    QCOMPARE(fixture->requestsFor("good.dat"), 0);
    QCOMPARE(fixture->requestsFor("system/samesize.dat"), 1);
    QCOMPARE(fixture->installed("system/samesize.dat"), sameSize);
    QCOMPARE(fixture->installed("system/resized.dat"), resized);
    QCOMPARE(fixture->installed("system/deep/missing.dat"), missing);

    QVERIFY(testsupport::verify(manager));
    QVERIFY(log.contains("[INFO] Verification complete: 0 missing, 0 corrupted, 0 need download"));
}

void ManifestTest::verificationOfEmptyManifest()
{
    LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    QSignalSpy counts(&manager, &FileManager::verificationComplete);
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    manager.verifyFiles();
    QVERIFY(counts.wait(10000));
    QCOMPARE(counts.first(), (QVariantList{0, 0}));
    QCOMPARE(ready.size(), 1);
    QVERIFY(log.contains("[INFO] All files are up to date!"));
}

void ManifestTest::downloadStartedFromVerificationSignal()
{
    // The window asks the player inside its verificationComplete slot and starts the download
    // from there: the batch, not the pass, reports when everything is ready.
    const QByteArray content = testsupport::patternedBytes(100000, 4);
    QVERIFY(fixture->serve("system/l2.exe", content));
    fixture->server.setFault(FileServerFixture::urlPath("system/l2.exe"), {0, 200, {}, 300});
    LogCapture log;
    FileManager manager;
    QVERIFY(testsupport::loadManifest(manager));
    connect(&manager, &FileManager::verificationComplete, &manager, &FileManager::startDownload);
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    bool inPlaceWhenReady = false;
    connect(&manager, &FileManager::allFilesReady, this,
            [&] { inPlaceWhenReady = fixture->installed("system/l2.exe") == content; });
    manager.verifyFiles();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QVERIFY(inPlaceWhenReady);
    QVERIFY(!log.contains("All files are up to date!"));
    testsupport::quietPeriod(100);
    QCOMPARE(ready.size(), 1);
}

void ManifestTest::hugeSizesNeverWrapTheTotal()
{
    // Each size fits 64 bits, their sum does not: the batch's total stops at the largest value.
    QJsonArray files;
    for (const char *name : {"one.dat", "two.dat"}) {
        QJsonObject element = fileElement(name, 9.2e18);
        element["url"] = fixture->server.rootUrl() + FileServerFixture::urlPath(name);
        files.append(element);
    }
    serveManifest({{"version", "1"}, {"files", files}});
    LogCapture log;
    FileManager manager;
    manager.setRetryDelay(0);
    QVERIFY(testsupport::loadManifest(manager));
    QVERIFY(testsupport::verify(manager));
    QSignalSpy failed(&manager, &FileManager::downloadFailed);
    QSignalSpy progress(&manager, &FileManager::downloadProgress);
    manager.startDownload();
    QVERIFY(log.contains("[INFO] Starting download of 2 files (8796093022208.00 MB)"));
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);
    QVERIFY(!progress.isEmpty());
    for (const auto &arguments : qAsConst(progress)) {
        QCOMPARE(arguments.at(0).toInt(), 0);
        QCOMPARE(arguments.at(2).toLongLong(), std::numeric_limits<qint64>::max());
    }
}

void ManifestTest::destructionWaitsForVerification()
{
    // Enough missing files that the pass is still running when its owner goes away.
    constexpr int fileCount = 20000;
    QJsonArray files;
    for (int i = 0; i < fileCount; ++i)
        files.append(fileElement(QString("data/file%1.dat").arg(i)));
    serveManifest({{"version", "1"}, {"files", files}});

    LogCapture log;
    auto manager = std::make_unique<FileManager>();
    QVERIFY(testsupport::loadManifest(*manager));
    QSignalSpy counts(manager.get(), &FileManager::verificationComplete);
    manager->verifyFiles();
    QVERIFY(manager->isVerifying());

    manager.reset();
    // The pass stopped inside the destructor; nothing of it runs or arrives afterwards.
    const int linesAtDestruction = log.lines().size();
    QCOMPARE(log.count("[DEBUG] Missing: "), 0);
    testsupport::quietPeriod(300);
    QCOMPARE(log.lines().size(), linesAtDestruction);
    QCOMPARE(counts.size(), 0);
}

QTEST_GUILESS_MAIN(ManifestTest)
// The manifest's size bound leaves room for a big game: 200,000 files with long names, written
// indented as the manifest tool writes them, stay well below it and parse whole.
void ManifestTest::bigGameFitsTheSizeBound()
{
    QJsonArray files;
    const QString digest(64, 'a');
    for (int i = 0; i < 200000; ++i) {
        files.append(QJsonObject{
            {"path", QString("data/textures/environment/region_%1/detail_tile_%2_normal.dds")
                         .arg(i / 1000, 3, 10, QChar('0'))
                         .arg(i, 6, 10, QChar('0'))},
            {"size", 1234567890},
            {"sha256", digest}});
    }
    const QByteArray bytes = QJsonDocument(QJsonObject{{"version", "1"}, {"files", files}})
                                 .toJson(QJsonDocument::Indented);
    QVERIFY2(bytes.size() * 2 < FileManager::maxManifestBytes,
             qPrintable(QString::number(bytes.size())));
    Manifest manifest;
    QVERIFY(manifest.parse(bytes));
    QCOMPARE(manifest.files.size(), 200000);
}

// A manifest without end is refused as the bound is reached, and no more than the bound and the
// buffers on the way ever leave the server: the read stops, it is not merely counted.
void ManifestTest::endlessManifestStopsAtTheBound()
{
    testsupport::EndlessServer server(qint64(1) << 30);
    QVERIFY(server.listenLoopback());
    LauncherConfig::instance().manifestUrl = server.rootUrl() + "/manifest.json";
    FileManager manager;
    QSignalSpy done(&manager, &FileManager::manifestDownloaded);
    manager.downloadManifest();
    QVERIFY(done.wait(60000));
    QCOMPARE(done.first().at(0).toBool(), false);
    QCOMPARE(done.first().at(1).toString(),
             QString("Failed to download manifest: the manifest is larger than 128 MB"));
    QTRY_VERIFY(server.idle());
    QVERIFY2(server.bodyBytesSent() < FileManager::maxManifestBytes + (16 << 20),
             qPrintable(QString::number(server.bodyBytesSent())));
}

#include "tst_manifest.moc"
