#include "authservice.h"
#include "core/launcherconfig.h"
#include "devserver.h"
#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/nginxserver.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The nginx configuration of the operators' guide, taken from the guide itself, serving a signed
// release folder over HTTPS (HTTP/2 offered) to the launcher's manifest check and download engine,
// with the dev server behind it as the auth service.
class DeployGuideTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void guideConfigurationServesTheLauncher();
    void publishedGuideManifestIsAccepted();

private:
    QTemporaryDir root;
};

namespace {

// Runs openssl as the guide's signing section does; true on exit code 0.
bool openssl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

void DeployGuideTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(root.isValid());
}

void DeployGuideTest::guideConfigurationServesTheLauncher()
{
    QFile guide(QStringLiteral(WARDGATE_SOURCE_DIR) + "/docs/operators.md");
    QVERIFY(guide.open(QIODevice::ReadOnly));
    const QRegularExpression block(QStringLiteral("```nginx\n(.*?)```"),
                                   QRegularExpression::DotMatchesEverythingOption);
    QString servers = block.match(QString::fromUtf8(guide.readAll())).captured(1);
    QVERIFY(!servers.isEmpty());

    QString error;
    testsupport::SelfSignedCertificate tls;
    QVERIFY2(testsupport::makeSelfSignedCertificate(root.path(), &tls, &error), qPrintable(error));
    DevServer auth;
    installAuthService(auth);
    QVERIFY(auth.listenLoopback());

    const quint16 httpsPort = testsupport::NginxServer::freeLoopbackPort();
    const QString site = root.filePath("www");
    // The guide's host, folders and ports, replaced by this machine's.
    const QList<QPair<QString, QString>> replacements{
        {"listen 80;",
         "listen 127.0.0.1:" + QString::number(testsupport::NginxServer::freeLoopbackPort()) + ";"},
        {"listen 443 ssl http2;", QString("listen 127.0.0.1:%1 ssl http2;").arg(httpsPort)},
        {"/etc/letsencrypt/live/play.veyrun.example/fullchain.pem", root.filePath("cert.pem")},
        {"/etc/letsencrypt/live/play.veyrun.example/privkey.pem", root.filePath("key.pem")},
        {"/srv/veyrun/www", site},
        {"http://127.0.0.1:8091", auth.rootUrl()},
    };
    for (const auto &[from, to] : replacements) {
        QVERIFY2(servers.contains(from), qPrintable("the guide no longer has " + from));
        servers.replace(from, to);
    }

    // More files than nginx's default requests per connection, and one of several megabytes.
    const QString baseUrl = QString("https://127.0.0.1:%1").arg(httpsPort);
    const QString release = "/releases/2024.4/files/";
    QMap<QString, QByteArray> files{{"system/l2.exe", testsupport::patternedBytes(3 << 20, 1)}};
    for (int i = 0; i < 1100; ++i)
        files.insert(QString("sounds/s%1.uax").arg(i), testsupport::patternedBytes(64 + i, i));
    QJsonArray entries;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(testsupport::writeFile(site + release + it.key(), it.value()));
        const QByteArray digest = QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256);
        entries.append(QJsonObject{{"path", it.key()},
                                   {"size", double(it.value().size())},
                                   {"sha256", QString::fromLatin1(digest.toHex())},
                                   {"url", baseUrl + release + it.key()}});
    }
    // Signed by hand with a key made as the guide makes it.
    const QString key = root.filePath("signing.pem");
    const QString publicKey = root.filePath("signing.pub.pem");
    QVERIFY(openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key}));
    QVERIFY(openssl({"ec", "-in", key, "-pubout", "-out", publicKey}));
    const QJsonObject document{{"version", "2024.4"},
                               {"published", double(QDateTime::currentSecsSinceEpoch())},
                               {"files", entries}};
    QVERIFY(testsupport::writeFile(site + "/manifest.json", QJsonDocument(document).toJson()));
    QVERIFY(openssl({"dgst", "-sha256", "-sign", key, "-out", site + "/manifest.json.sig",
                     site + "/manifest.json"}));

    testsupport::NginxServer nginx;
    QVERIFY2(nginx.startServers(servers, httpsPort), qPrintable(nginx.errorString()));
    const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = original;
    trusting.addCaCertificate(tls.certificate);
    QSslConfiguration::setDefaultConfiguration(trusting);

    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = baseUrl + "/manifest.json";
    config.filesBaseUrl.clear();
    config.gameDirectory = root.filePath("game");
    config.maxDownloadThreads = 4;
    config.signingKeys.load(QByteArray(), publicKey);
    QVERIFY(config.signingKeys.count() == 1);
    FileManager manager;
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    const bool loaded = testsupport::loadManifest(manager);
    QVERIFY2(loaded,
             errors.isEmpty() ? "no manifest" : qPrintable(errors.first().at(0).toString()));
    QVERIFY(testsupport::verify(manager));
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 120000);
    QCOMPARE(errors.size(), 0);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(config.gameDirectory + "/" + it.key());
        QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == it.value(),
                 qPrintable(it.key()));
    }

    // The auth service answers through nginx.
    QNetworkAccessManager network;
    QNetworkReply *health = network.get(QNetworkRequest(QUrl(baseUrl + "/api/health")));
    QTRY_VERIFY_WITH_TIMEOUT(health->isFinished(), 10000);
    QCOMPARE(health->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    delete health;
    QSslConfiguration::setDefaultConfiguration(original);

    config.signingKeys.load(QByteArray(), QString());

    // The launcher over HTTP/1.1, which it chooses over HTTPS too, other clients over HTTP/2;
    // the manifest and its signature never kept by a cache, the manifest compressed, release
    // files kept.
    const QStringList lines = testsupport::readLines(nginx.accessLogPath());
    QCOMPARE(lines.filter(" /releases/").size(), files.size());
    for (const QString &line : lines) {
        const bool manifestOrSignature = line.contains(" /manifest.json");
        const bool launcher = manifestOrSignature || line.contains(" /releases/");
        QVERIFY2(line.startsWith(launcher ? "HTTP/1.1 200 " : "HTTP/2.0 200 "), qPrintable(line));
        if (line.endsWith(" /manifest.json"))
            QVERIFY2(line.contains("\"no-store\" \"gzip\""), qPrintable(line));
        else if (manifestOrSignature)
            QVERIFY2(line.contains("\"no-store\""), qPrintable(line));
        else if (line.contains(" /releases/"))
            QVERIFY2(line.contains("immutable"), qPrintable(line));
    }
    QCOMPARE(lines.filter(QRegularExpression(" /manifest\\.json$")).size(), 1);
    QCOMPARE(lines.filter(QRegularExpression(" /manifest\\.json\\.sig$")).size(), 1);
}

// What scripts/check-guide published by the guide's own blocks and serves with the guide's nginx
// site, through the launcher's manifest check: the address, the trial certificate and the public
// key come from check-guide, which runs this alone.
void DeployGuideTest::publishedGuideManifestIsAccepted()
{
    const QString url = qEnvironmentVariable("WARDGATE_GUIDE_MANIFEST_URL");
    if (url.isEmpty())
        QSKIP("run by scripts/check-guide against the server it publishes");
    const QList<QSslCertificate> authority =
        QSslCertificate::fromPath(qEnvironmentVariable("WARDGATE_GUIDE_CA_FILE"));
    QCOMPARE(authority.size(), 1);
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.addCaCertificates(authority);
    QSslConfiguration::setDefaultConfiguration(trusting);

    LauncherConfig &config = LauncherConfig::instance();
    config.signingKeys.load(QByteArray(), qEnvironmentVariable("WARDGATE_GUIDE_SIGNING_KEY"));
    QCOMPARE(config.signingKeys.count(), 1);
    config.manifestUrl = url;
    config.filesBaseUrl.clear();
    FileManager manager;
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    const bool loaded = testsupport::loadManifest(manager);
    QVERIFY2(loaded,
             errors.isEmpty() ? "no manifest" : qPrintable(errors.first().at(0).toString()));
    QCOMPARE(manager.currentManifest().version, qEnvironmentVariable("WARDGATE_GUIDE_VERSION"));
    QVERIFY(!manager.currentManifest().files.isEmpty());
}

QTEST_GUILESS_MAIN(DeployGuideTest)
#include "tst_deployguide.moc"
