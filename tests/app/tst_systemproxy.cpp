#include "app/autoupdater.h"
#include "auth/authclient.h"
#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "net/networkrequests.h"
#include "releaseservice.h"
#include "support/fileserverfixture.h"
#include "support/testsupport.h"
#include "support/tinyproxy.h"

#include <QHostInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The start-up's proxy decision against a real proxy (tinyproxy): the auth service, the manifest,
// the game files and the release all go through the proxy that the environment names, as the
// proxy's own log shows.
class SystemProxyTest : public QObject
{
    Q_OBJECT

private slots:
    void everyServiceGoesThroughTheProxy();
};

void SystemProxyTest::everyServiceGoesThroughTheProxy()
{
    QStandardPaths::setTestModeEnabled(true);
    // Qt sends requests for localhost and 127.0.0.1 past any proxy; the machine's own name
    // reaches the same loopback servers through it.
    const QString host = QHostInfo::localHostName();
    if (!QHostInfo::fromName(host).addresses().contains(QHostAddress(QHostAddress::LocalHost)))
        QSKIP("this machine's host name does not resolve to 127.0.0.1");
    QTemporaryDir dir;
    testsupport::Tinyproxy proxy;
    QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
    qputenv("http_proxy", QString("http://127.0.0.1:%1").arg(proxy.port()).toUtf8());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    useSystemProxy();

    testsupport::FileServerFixture fixture;
    QVERIFY(fixture.start());
    QVERIFY(fixture.serve("system/l2.ini", "[Game]\n"));
    const QString root = fixture.server.rootUrl().replace("127.0.0.1", host);
    ReleaseServiceOptions release;
    release.linuxExecutable = dir.filePath("release/Wardgate");
    QVERIFY(testsupport::writeFile(release.linuxExecutable, "launcher 1.0.17\n"));
    installReleaseService(fixture.server, release);
    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl.replace("127.0.0.1", host);
    config.filesBaseUrl = root + "/files";
    config.authUrl = root + "/api/auth";

    FileManager files;
    QVERIFY(testsupport::loadManifest(files));
    QVERIFY(testsupport::verify(files));
    QSignalSpy ready(&files, &FileManager::allFilesReady);
    files.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 20000);

    AuthClient auth;
    auth.startServerMonitoring();

    ReleaseChannel channel = ReleaseChannel::deployed();
    channel.apiBase = root;
    channel.rawBase = root;
    QVERIFY(testsupport::writeFile(dir.filePath("bin/Wardgate"), "launcher 1.0.16\n"));
    AutoUpdater updater(channel, dir.filePath("bin/Wardgate"));
    QSignalSpy downloaded(&updater, &AutoUpdater::updateDownloaded);
    updater.checkForUpdates();
    QTRY_COMPARE_WITH_TIMEOUT(downloaded.size(), 1, 20000);

    QTRY_VERIFY_WITH_TIMEOUT(proxy.log().contains("/main/Wardgate"), 5000);
    const QString log = proxy.log();
    for (const QString &path : {QString("/api/health"), QString("/manifest.json"),
                                testsupport::FileServerFixture::urlPath("system/l2.ini"),
                                QString("/repos/%1/contents/version.json").arg(release.repository),
                                QString("/%1/main/Wardgate").arg(release.repository)}) {
        QVERIFY2(log.contains(QString("GET %1%2").arg(root, path)), qPrintable(path));
    }
}

QTEST_GUILESS_MAIN(SystemProxyTest)
#include "tst_systemproxy.moc"
