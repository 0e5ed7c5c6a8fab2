#include "core/launcherconfig.h"
#include "files/manifest.h"
#include "manifestbuilder.h"
#include "namecheck.h"
#include "support/fileserverfixture.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// wardgate-manifest: what it writes is what the launcher reads, it refuses what the launcher
// would refuse, its cache spares unchanged files, and a failed run changes no output.
class ManifestToolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void roundTripThroughTheLaunchersParser();
    void refusedNames_data();
    void refusedNames();
    void refusedFolderWritesNothing();
    void cacheSparesUnchangedFiles();
    void cacheServesTheNextReleaseFolder_data();
    void cacheServesTheNextReleaseFolder();
    void signingKeys_data();
    void signingKeys();

private:
    QString game() const { return work->filePath("game"); }
    QString out(const QString &name) const { return work->filePath("out/" + name); }
    bool build(ManifestOptions options, QString *error = nullptr);
    Manifest parseOutput() const;
    // Sets a file's time well into the past, where the cache trusts it.
    static void age(const QString &path, int seconds = 3600);

    std::unique_ptr<QTemporaryDir> work;
    QMap<QString, QByteArray> files;
};

void ManifestToolTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    LauncherConfig::instance().filesBaseUrl.clear();
}

void ManifestToolTest::init()
{
    work = std::make_unique<QTemporaryDir>();
    QDir().mkpath(out(""));
    files = {{"system/l2.exe", testsupport::patternedBytes(300000, 1)},
             {"system/l2.ini", "[Game]\n"},
             {"maps/ünïcode map.unr", testsupport::patternedBytes(70000, 2)},
             {"music/'live' \U0001F3B5.ogg", "la"},
             {"textures/empty.utx", QByteArray()},
             {".hidden/readme.txt", "x"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(testsupport::writeFile(game() + "/" + it.key(), it.value()));
        age(game() + "/" + it.key());
    }
    QFile(game() + "/system/l2.exe")
        .setPermissions(QFile::permissions(game() + "/system/l2.exe") | QFile::ExeOwner);
}

bool ManifestToolTest::build(ManifestOptions options, QString *error)
{
    if (options.folder.isEmpty())
        options.folder = game();
    if (options.output.isEmpty())
        options.output = out("manifest.json");
    options.version = "2024.4";
    ManifestBuilder builder(options);
    const bool ok = builder.run();
    if (error)
        *error = builder.errorString();
    return ok;
}

Manifest ManifestToolTest::parseOutput() const
{
    QFile file(out("manifest.json"));
    Manifest manifest;
    if (file.open(QIODevice::ReadOnly))
        manifest.parse(file.readAll());
    return manifest;
}

void ManifestToolTest::age(const QString &path, int seconds)
{
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.setFileTime(QDateTime::currentDateTime().addSecs(-seconds),
                     QFileDevice::FileModificationTime);
}

void ManifestToolTest::roundTripThroughTheLaunchersParser()
{
    ManifestOptions options;
    options.urlBase = "https://play.example/releases/2024.4/files";
    options.baseClientOutput = out("l2_base_client.zip");
    options.baseClientUrl = "https://play.example/releases/2024.4/l2_base_client.zip";
    options.cacheFile = out("digests");
    // The outputs may lie inside the game folder: they are not listed as game files. A folder
    // given relative to the working directory works as well as an absolute one.
    options.output = game() + "/manifest.json";
    options.folder = "game";
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work->path());
    QString error;
    const bool built = build(options, &error);
    QDir::setCurrent(previous);
    QVERIFY2(built, qPrintable(error));
    QVERIFY(QFile::rename(game() + "/manifest.json", out("manifest.json")));

    const Manifest manifest = parseOutput();
    QCOMPARE(manifest.version, QString("2024.4"));
    QCOMPARE(manifest.files.size(), files.size());
    for (const FileEntry &entry : manifest.files) {
        QVERIFY2(files.contains(entry.path), qPrintable(entry.path));
        const QByteArray &content = files.value(entry.path);
        QCOMPARE(entry.size, qint64(content.size()));
        QCOMPARE(entry.sha256,
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(entry.url, options.urlBase + "/" + entry.path);
    }

    QFile zip(options.baseClientOutput);
    QVERIFY(zip.open(QIODevice::ReadOnly));
    const QByteArray archive = zip.readAll();
    QCOMPARE(manifest.baseClient.url, options.baseClientUrl);
    QCOMPARE(manifest.baseClient.size, qint64(archive.size()));
    QCOMPARE(
        manifest.baseClient.sha256,
        QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex()));

    // The launcher's extractor gives back the folder, the program still executable.
    const QString extracted = work->filePath("extracted");
    QDir().mkpath(extracted);
    QCOMPARE(QProcess::execute("bsdtar", {"-xf", options.baseClientOutput, "-C", extracted}), 0);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(extracted + "/" + it.key());
        QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == it.value(),
                 qPrintable(it.key()));
    }
    QVERIFY(QFileInfo(extracted + "/system/l2.exe").isExecutable());
    QVERIFY(!QFileInfo(extracted + "/system/l2.ini").isExecutable());
}

void ManifestToolTest::refusedNames_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<int>("problems");
    QTest::newRow("plain names") << QStringList{"a", "b/c.txt", "b/c.txt.bak", "tmp"} << 0;
    QTest::newRow("absolute") << QStringList{"/etc/passwd"} << 1;
    QTest::newRow("dot dot") << QStringList{"a/../../b"} << 1;
    QTest::newRow("backslash") << QStringList{"system\\l2.exe"} << 1;
    QTest::newRow("drive letter") << QStringList{"C:l2.exe"} << 1;
    QTest::newRow("temporary name") << QStringList{"x", "x.tmp"} << 1;
    QTest::newRow("temporary name, other case") << QStringList{"X", "x.TMP"} << 1;
    QTest::newRow("case only") << QStringList{"System/L2.ini", "system/l2.ini"} << 1;
    // The launcher's parser goes by the same rule (its own test has each of these).
    QTest::newRow("Windows names")
        << QStringList{"con.txt", "sub/aux", "a.", "b ", "console.txt", "com10"} << 4;
    QTest::newRow("validator name") << QStringList{"x", "x.tmp.validator"} << 1;
    QTest::newRow("kept ranges name") << QStringList{"x", "x.tmp.segments"} << 1;
    QTest::newRow("control and direction characters")
        << QStringList{"a\r\nb", QString::fromUtf8("\u202Etxt.exe"), "a\tb"} << 3;
    QTest::newRow("characters Windows refuses")
        << QStringList{"a<b", "a>b", "ab:c", "a\"b", "a|b", "a?b", "a*b", "a#b"} << 7;
    QTest::newRow("a file and a folder of one name")
        << QStringList{"data/a.dat", "data/a.dat/inner.dat"} << 1;
    QTest::newRow("empty and dot pieces") << QStringList{"a/", "b//c", "./x", "d/./x"} << 4;
    QTest::newRow("300 characters") << QStringList{QString(300, QLatin1Char('n'))} << 1;
    QTest::newRow("percent-encoded") << QStringList{"%2e%2e/x", "100%", "50%off"} << 1;
}

void ManifestToolTest::refusedNames()
{
    QFETCH(QStringList, paths);
    QFETCH(int, problems);
    QCOMPARE(::refusedNames(paths).size(), problems);
}

void ManifestToolTest::refusedFolderWritesNothing()
{
    QVERIFY(testsupport::writeFile(out("manifest.json"), "previous"));
    QVERIFY(testsupport::writeFile(game() + "/system/l2.exe.tmp", "left over"));
    QVERIFY(testsupport::writeFile(game() + "/sounds\\intro.ogg", "x"));
    ManifestOptions options;
    options.baseClientOutput = out("l2_base_client.zip");
    options.baseClientUrl = "https://play.example/l2_base_client.zip";
    QString error;
    QVERIFY(!build(options, &error));
    QVERIFY2(error.contains("2 name(s)") && error.contains("system/l2.exe.tmp") &&
                 error.contains("sounds\\intro.ogg"),
             qPrintable(error));
    QCOMPARE(testsupport::readLines(out("manifest.json")), QStringList{"previous"});
    QCOMPARE(QDir(out("")).entryList(QDir::Files | QDir::Hidden), QStringList{"manifest.json"});

    // A base client that cannot be written fails the run before the manifest is touched.
    QVERIFY(QFile::remove(game() + "/system/l2.exe.tmp"));
    QVERIFY(QFile::remove(game() + "/sounds\\intro.ogg"));
    options.baseClientOutput = out("missing folder/l2_base_client.zip");
    QVERIFY(!build(options, &error));
    QVERIFY2(error.startsWith("base client: "), qPrintable(error));
    QCOMPARE(testsupport::readLines(out("manifest.json")), QStringList{"previous"});
    QCOMPARE(QDir(out("")).entryList(QDir::Files | QDir::Hidden), QStringList{"manifest.json"});
}

void ManifestToolTest::cacheSparesUnchangedFiles()
{
    ManifestOptions options;
    options.cacheFile = out("digests");
    QVERIFY(build(options));
    const auto iniDigest = [this] {
        for (const FileEntry &entry : parseOutput().files) {
            if (entry.path == "system/l2.ini")
                return entry.sha256;
        }
        return QString();
    };
    const QString firstDigest = iniDigest();
    QVERIFY(!firstDigest.isEmpty());

    // Same size, same time, other bytes: only a run that reads the file can tell.
    const QString ini = game() + "/system/l2.ini";
    const QDateTime time = QFileInfo(ini).lastModified();
    QVERIFY(testsupport::writeFile(ini, "[Gone]\n"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::ReadWrite) &&
            file.setFileTime(time, QFileDevice::FileModificationTime));
    file.close();
    QVERIFY(build(options));
    QCOMPARE(iniDigest(), firstDigest);

    // A touched file is read again.
    age(ini, 1800);
    QVERIFY(build(options));
    QCOMPARE(iniDigest(),
             QString::fromLatin1(
                 QCryptographicHash::hash("[Gone]\n", QCryptographicHash::Sha256).toHex()));
}

void ManifestToolTest::cacheServesTheNextReleaseFolder_data()
{
    // How the next release folder is made from the last one, as cp makes it.
    QTest::addColumn<QStringList>("copy");
    QTest::addColumn<bool>("oneChanged");
    // Files answered from the cache in the run over the next folder.
    QTest::addColumn<int>("fromCache");

    const int all = 6;
    QTest::newRow("hard links") << QStringList{"-al"} << false << all;
    QTest::newRow("hard links, one file replaced") << QStringList{"-al"} << true << all - 1;
    // Another inode with the same path, size and time is another file: read again.
    QTest::newRow("copies with their times") << QStringList{"-a"} << false << 0;
}

// One cache for the operator, not one per folder: the next release folder's hard links to the
// last one's files are not read again, while a copy or a replaced file is.
void ManifestToolTest::cacheServesTheNextReleaseFolder()
{
    QFETCH(QStringList, copy);
    QFETCH(bool, oneChanged);
    QFETCH(int, fromCache);

    ManifestOptions options;
    options.cacheFile = out("digests");
    options.output = out("manifest.json");
    options.version = "2024.4";
    options.folder = work->filePath("releases/2024.3");
    QVERIFY(QDir().mkpath(work->filePath("releases")));
    QVERIFY(QDir().rename(game(), options.folder));
    {
        ManifestBuilder first(options);
        QVERIFY2(first.run(), qPrintable(first.errorString()));
        QCOMPARE(first.cachedCount(), 0);
    }

    const QString next = work->filePath("releases/2024.4");
    QCOMPARE(QProcess::execute("cp", copy + QStringList{options.folder, next}), 0);
    if (oneChanged) {
        // As rsync writes a changed file: a new file renamed into place, with an old time.
        QVERIFY(testsupport::writeFile(next + "/system/l2.ini.new", "[Game]\nv=2\n"));
        age(next + "/system/l2.ini.new");
        QVERIFY(QFile::remove(next + "/system/l2.ini"));
        QVERIFY(QFile::rename(next + "/system/l2.ini.new", next + "/system/l2.ini"));
    }
    options.folder = next;
    ManifestBuilder second(options);
    QVERIFY2(second.run(), qPrintable(second.errorString()));
    QCOMPARE(second.fileCount(), int(files.size()));
    QCOMPARE(second.cachedCount(), fromCache);
    for (const FileEntry &entry : parseOutput().files) {
        QFile file(next + "/" + entry.path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(entry.sha256,
                 QString::fromLatin1(
                     QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()));
    }
}

void ManifestToolTest::signingKeys_data()
{
    QTest::addColumn<QString>("key");     // made by the openssl command
    QTest::addColumn<QString>("refusal"); // empty: signs
    QTest::newRow("P-256") << "prime256v1"
                           << "";
    QTest::newRow("P-384") << "secp384r1"
                           << "is not an ECDSA P-256 key";
    QTest::newRow("RSA") << "rsa"
                         << "is not an ECDSA P-256 key";
    QTest::newRow("not a key") << "none"
                               << "holds no private key";
}

// A signed manifest carries "published" and a signature that `openssl dgst -verify` accepts;
// a key of another kind is refused before anything is written.
void ManifestToolTest::signingKeys()
{
    QFETCH(QString, key);
    QFETCH(QString, refusal);
    const QString keyFile = out("key.pem");
    if (key == "rsa")
        QCOMPARE(QProcess::execute("openssl", {"genrsa", "-out", keyFile, "2048"}), 0);
    else if (key == "none")
        QVERIFY(testsupport::writeFile(keyFile, "not a key\n"));
    else
        QCOMPARE(QProcess::execute("openssl",
                                   {"ecparam", "-name", key, "-genkey", "-noout", "-out", keyFile}),
                 0);
    ManifestOptions options;
    options.signingKey = keyFile;
    options.published = 1767225600;
    QString error;
    const bool built = build(options, &error);
    if (!refusal.isEmpty()) {
        QVERIFY(!built);
        QVERIFY2(error.startsWith("--sign-key: ") && error.contains(refusal), qPrintable(error));
        QVERIFY(!QFile::exists(out("manifest.json")));
        QVERIFY(!QFile::exists(out("manifest.json.sig")));
        return;
    }
    QVERIFY2(built, qPrintable(error));
    QCOMPARE(parseOutput().published, qint64(1767225600));
    QCOMPARE(
        QProcess::execute("openssl", {"ec", "-in", keyFile, "-pubout", "-out", out("pub.pem")}), 0);
    QProcess verify;
    verify.start("openssl", {"dgst", "-sha256", "-verify", out("pub.pem"), "-signature",
                             out("manifest.json.sig"), out("manifest.json")});
    QVERIFY(verify.waitForFinished(10000));
    QCOMPARE(verify.readAllStandardOutput().trimmed(), QByteArray("Verified OK"));
}

QTEST_GUILESS_MAIN(ManifestToolTest)
#include "tst_manifesttool.moc"
