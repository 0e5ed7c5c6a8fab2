#include "core/launcherconfig.h"
#include "deployment.h"
#include "support/testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class LauncherConfigTest : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void missingIniGivesDefaults();
    void iniValues();
    void gameDirForms_data();
    void gameDirForms();
    void caCertificatesFile_data();
    void caCertificatesFile();
    void integerConversions_data();
    void integerConversions();
    void textConversions();
    void integrityFiles();
    void unknownKeysChangeNothing();
    void remoteCannotSetIniValues();
    void signingKeyFile_data();
    void signingKeyFile();

private:
    static QJsonObject parse(const char *json) { return QJsonDocument::fromJson(json).object(); }
};

void LauncherConfigTest::defaults()
{
    const LauncherConfig config;
    QCOMPARE(config.authUrl, QString("http://127.0.0.1:8091/api/auth"));
    QCOMPARE(config.authUrl, QString(deployment::defaultAuthUrl));
    QCOMPARE(config.gameDirectory, QString("."));
    QCOMPARE(config.serverPort, 7777);
    QCOMPARE(config.heartbeatInterval, 45);
    QCOMPARE(config.maxDownloadThreads, 4);
    QCOMPARE(config.integrityCheckMin, 60);
    QCOMPARE(config.integrityCheckMax, 180);
    QVERIFY(config.manifestUrl.isEmpty() && config.filesBaseUrl.isEmpty() &&
            config.gameExecutable.isEmpty());
    QVERIFY(config.integrityFiles.isEmpty());
}

void LauncherConfigTest::missingIniGivesDefaults()
{
    QTemporaryDir dir;
    LauncherConfig config;
    config.authUrl = "changed";
    config.gameDirectory = "changed";
    config.load(dir.filePath("config/launcher.ini"));
    QCOMPARE(config.authUrl, QString("http://127.0.0.1:8091/api/auth"));
    QCOMPARE(config.gameDirectory, QString("."));
}

void LauncherConfigTest::iniValues()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config/launcher.ini");
    QVERIFY(testsupport::writeFile(path, "[Server]\nAuthUrl=https://auth.example.org/api/auth\n"
                                         "[Game]\nGameDir=C:/Games/Veyrun\n"));
    LauncherConfig config;
    config.load(path);
    QCOMPARE(config.authUrl, QString("https://auth.example.org/api/auth"));
    QCOMPARE(config.gameDirectory, QString("C:/Games/Veyrun"));
}

void LauncherConfigTest::gameDirForms_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("directory");

    QTest::newRow("single backslashes")
        << QByteArray("GameDir=C:\\Games\\L2 Veyrun") << "C:\\Games\\L2 Veyrun";
    QTest::newRow("quoted single backslashes")
        << QByteArray("GameDir = \"D:\\L2, Veyrun\\\"") << "D:\\L2, Veyrun\\";
    QTest::newRow("network share")
        << QByteArray("GameDir=\\\\server\\games") << "\\\\server\\games";
    QTest::newRow("doubled backslashes")
        << QByteArray("GameDir=C:\\\\Games\\\\L2 Veyrun") << "C:\\Games\\L2 Veyrun";
    QTest::newRow("quoted doubled")
        << QByteArray("GameDir=\"C:\\\\L2, Veyrun\"") << "C:\\L2, Veyrun";
    QTest::newRow("forward slashes")
        << QByteArray("GameDir=C:/Games/L2 Veyrun") << "C:/Games/L2 Veyrun";
    QTest::newRow("other section") << QByteArray("[Other]\nGameDir=C:\\x") << ".";
}

void LauncherConfigTest::gameDirForms()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, directory);
    QTemporaryDir dir;
    const QString path = dir.filePath("launcher.ini");
    QVERIFY(testsupport::writeFile(path, "[Server]\nAuthUrl=http://a/\n[Game]\n" + line + "\n"));
    LauncherConfig config;
    config.load(path);
    QCOMPARE(config.gameDirectory, directory);
    QCOMPARE(config.authUrl, QString("http://a/"));
}

void LauncherConfigTest::integerConversions_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("whole number") << QByteArray("30") << 30;
    QTest::newRow("string is not a number") << QByteArray("\"30\"") << 0;
    QTest::newRow("fraction") << QByteArray("30.5") << 0;
    QTest::newRow("negative kept") << QByteArray("-5") << -5;
    QTest::newRow("int max") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("above int max") << QByteArray("2147483648") << 0;
    QTest::newRow("int min") << QByteArray("-2147483648") << int(-2147483647 - 1);
    QTest::newRow("below int min") << QByteArray("-2147483649") << 0;
    QTest::newRow("huge") << QByteArray("1e300") << 0;
    QTest::newRow("boolean") << QByteArray("true") << 0;
    QTest::newRow("null") << QByteArray("null") << 0;
    QTest::newRow("exponent whole") << QByteArray("3e1") << 30;
}

void LauncherConfigTest::integerConversions()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expected);
    const char *keys[] = {"server_port", "heartbeat_interval", "max_download_threads",
                          "integrity_check_min", "integrity_check_max"};
    for (const char *key : keys) {
        LauncherConfig config;
        config.applyRemoteConfig(parse("{\"" + QByteArray(key) + "\": " + value + "}"));
        const int actual = QByteArray(key) == "server_port"            ? config.serverPort
                           : QByteArray(key) == "heartbeat_interval"   ? config.heartbeatInterval
                           : QByteArray(key) == "max_download_threads" ? config.maxDownloadThreads
                           : QByteArray(key) == "integrity_check_min"  ? config.integrityCheckMin
                                                                       : config.integrityCheckMax;
        QVERIFY2(actual == expected, key);
    }
}

void LauncherConfigTest::textConversions()
{
    LauncherConfig config;
    config.applyRemoteConfig(
        parse(R"({"manifest_url": "http://h/m.json", "files_base_url": "http://h/files",
                                       "game_executable": "system/l2.exe", "server_ip": "10.0.0.1"})"));
    QCOMPARE(config.manifestUrl, QString("http://h/m.json"));
    QCOMPARE(config.filesBaseUrl, QString("http://h/files"));
    QCOMPARE(config.gameExecutable, QString("system/l2.exe"));
    QCOMPARE(config.serverIp, QString("10.0.0.1"));

    config.applyRemoteConfig(parse(R"({"manifest_url": 12, "server_ip": null})"));
    QVERIFY(config.manifestUrl.isEmpty());
    QVERIFY(config.serverIp.isEmpty());
    QCOMPARE(config.filesBaseUrl, QString("http://h/files")); // absent keys stay
}

void LauncherConfigTest::integrityFiles()
{
    LauncherConfig config;
    config.applyRemoteConfig(parse(R"({"integrity_files": ["engine.dll", 5, "system/core.dll"]})"));
    QCOMPARE(config.integrityFiles, QStringList({"engine.dll", "", "system/core.dll"}));

    config.applyRemoteConfig(parse(R"({"server_port": 1})"));
    QCOMPARE(config.integrityFiles.size(), 3); // no key: unchanged

    config.applyRemoteConfig(parse(R"({"integrity_files": []})"));
    QVERIFY(config.integrityFiles.isEmpty());

    config.integrityFiles = QStringList{"x"};
    config.applyRemoteConfig(parse(R"({"integrity_files": "engine.dll"})"));
    QVERIFY(config.integrityFiles.isEmpty()); // not an array: emptied
}

void LauncherConfigTest::unknownKeysChangeNothing()
{
    LauncherConfig config;
    config.applyRemoteConfig(
        parse(R"({"Manifest_URL": "x", "port": 1, "auth_url": "y", "extra": [1]})"));
    const LauncherConfig defaults;
    QCOMPARE(config.manifestUrl, defaults.manifestUrl);
    QCOMPARE(config.serverPort, defaults.serverPort);
    QCOMPARE(config.authUrl, defaults.authUrl);
    QCOMPARE(config.integrityFiles, defaults.integrityFiles);
}

void LauncherConfigTest::remoteCannotSetIniValues()
{
    LauncherConfig config;
    config.applyRemoteConfig(parse(R"({"authUrl": "x", "gameDirectory": "/", "game_dir": "/"})"));
    QCOMPARE(config.gameDirectory, QString("."));
    QCOMPARE(config.authUrl, LauncherConfig().authUrl);
}

void LauncherConfigTest::caCertificatesFile_data()
{
    QTest::addColumn<QByteArray>("line");
    // Relative to the ini's folder; empty: none named.
    QTest::addColumn<QString>("expected");
    QTest::newRow("absent") << QByteArray() << QString();
    QTest::newRow("relative") << QByteArray("CaCertificates=certs/trial-ca.pem")
                              << QString("config/certs/trial-ca.pem");
    QTest::newRow("absolute") << QByteArray("CaCertificates=/etc/veyrun/ca.pem")
                              << QString("/etc/veyrun/ca.pem");
}

void LauncherConfigTest::caCertificatesFile()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString ini = dir.filePath("config/launcher.ini");
    QVERIFY(testsupport::writeFile(ini, "[Security]\n" + line + "\n"));
    LauncherConfig config;
    config.load(ini);
    QCOMPARE(config.caCertificatesFile,
             expected.isEmpty() || expected.startsWith('/') ? expected : dir.filePath(expected));
}

void LauncherConfigTest::signingKeyFile_data()
{
    QTest::addColumn<QByteArray>("value"); // "<dir>" stands for the temporary folder
    QTest::addColumn<int>("keys");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("none") << QByteArray() << 0 << false << "Signing is off: ";
    QTest::newRow("relative to the ini's folder")
        << QByteArray("keys.pem") << 2 << true
        << "Trusted signing keys: 2 (from <dir>/config/keys.pem)";
    QTest::newRow("absolute") << QByteArray("<dir>/config/keys.pem") << 2 << true
                              << "Trusted signing keys: 2 (from <dir>/config/keys.pem)";
    QTest::newRow("missing file") << QByteArray("absent.pem") << 0 << true
                                  << "Signing is on but no key is usable (<dir>/config/absent.pem "
                                     "cannot be read";
    QTest::newRow("no public key in it")
        << QByteArray("launcher.ini") << 0 << true << "Signing is on but no key is usable";
}

// A named key file that gives no key keeps signing on, so that every signature then fails
// instead of nothing being checked.
void LauncherConfigTest::signingKeyFile()
{
    QFETCH(QByteArray, value);
    QFETCH(int, keys);
    QFETCH(bool, configured);
    QFETCH(QString, logLine);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("config")));
    QProcess make;
    make.start(QStringLiteral(WARDGATE_SOURCE_DIR "/tests/platform/make-signature-vectors"),
               {dir.filePath("config")});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
    QVERIFY(testsupport::writeFile(dir.filePath("config/keys.pem"),
                                   testsupport::readFile(dir.filePath("config/pub.pem")) +
                                       testsupport::readFile(dir.filePath("config/other.pem"))));
    value.replace("<dir>", dir.path().toUtf8());
    const QString path = dir.filePath("config/launcher.ini");
    QVERIFY(testsupport::writeFile(path, value.isEmpty()
                                             ? QByteArray("[Game]\nGameDir=.\n")
                                             : "[Security]\nSigningKey=" + value + "\n"));
    LauncherConfig config;
    config.load(path);
    QCOMPARE(config.signingKeys.count(), keys);
    QCOMPARE(config.signingKeys.isConfigured(), configured);
    logLine.replace("<dir>", dir.path());
    QVERIFY2(config.signingKeys.description().startsWith(logLine),
             qPrintable(config.signingKeys.description()));
}

QTEST_GUILESS_MAIN(LauncherConfigTest)
#include "tst_launcherconfig.moc"
