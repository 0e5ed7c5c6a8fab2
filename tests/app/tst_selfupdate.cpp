#include "app/autoupdater.h"
#include "app/selfupdate.h"
#include "app/updatescript.h"
#include "app/updatesplash.h"
#include "core/logger.h"
#include "devserver.h"
#include "releaseservice.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The start-up's self-update step: the splash and its loop, the update script, and the swap that
// the script performs once the old launcher has gone.
class SelfUpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void splashLooksAndCounts();
    void batchScriptText_data();
    void batchScriptText();
    void noNetworkReadsUpToDate();
    void refusedDownloadGoesOnWithCurrentLauncher();
    void unwritableScriptGoesOnWithCurrentLauncher();
    void downloadedUpdateIsSwappedInOnceTheOldProcessEnds();
    void unreapedOldProcessCountsAsEnded();

private:
    AutoUpdater *makeUpdater(const QString &executable);
    void publish(const QString &file, const QJsonObject &overrides = {});
    // Records the splash's text after each final signal, as the player sees it during the loop.
    void watchSplash(AutoUpdater *updater);
    bool logged(const QString &text) const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<DevServer> server;
    std::unique_ptr<AutoUpdater> updater;
    QString bin;
    QString work;
    QString previousFolder;
    std::unique_ptr<testsupport::LogCapture> log;
    QStringList splashTexts;
};

void SelfUpdateTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    log = std::make_unique<testsupport::LogCapture>();
}

void SelfUpdateTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    // Quotes, blanks and a dollar sign: the script must keep paths literal.
    bin = dir->filePath("Vey run's $HOME");
    QVERIFY(testsupport::writeFile(bin + "/Wardgate", "launcher 1.0.16\n"));
    // The old launcher's working folder, where the new one must start too: that is where
    // config/launcher.ini is looked for.
    work = dir->filePath("work");
    QVERIFY(QDir().mkpath(work));
    previousFolder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work));
    server = std::make_unique<DevServer>();
    QVERIFY(server->listenLoopback());
    log->clear();
    splashTexts.clear();
}

void SelfUpdateTest::cleanup()
{
    QFile(bin).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    updater.reset();
    server.reset();
    QDir::setCurrent(previousFolder);
    dir.reset();
}

AutoUpdater *SelfUpdateTest::makeUpdater(const QString &executable)
{
    ReleaseChannel channel = ReleaseChannel::deployed();
    channel.apiBase = server->rootUrl();
    channel.rawBase = server->rootUrl();
    channel.repository = QStringLiteral("veyrun/wardgate-release");
    updater = std::make_unique<AutoUpdater>(channel, executable);
    watchSplash(updater.get());
    return updater.get();
}

void SelfUpdateTest::publish(const QString &file, const QJsonObject &overrides)
{
    ReleaseServiceOptions release;
    release.linuxExecutable = file;
    release.overrides = overrides;
    installReleaseService(*server, release);
}

void SelfUpdateTest::watchSplash(AutoUpdater *updater)
{
    const auto record = [this] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *splash = qobject_cast<UpdateSplash *>(widget); splash && splash->isVisible())
                splashTexts << splash->statusText();
        }
    };
    // Queued, so it runs inside the splash loop after the splash has been updated.
    connect(updater, &AutoUpdater::noUpdateAvailable, this, record, Qt::QueuedConnection);
    connect(updater, &AutoUpdater::updateError, this, record, Qt::QueuedConnection);
    connect(updater, &AutoUpdater::updateDownloaded, this, record, Qt::QueuedConnection);
}

bool SelfUpdateTest::logged(const QString &text) const
{
    return log->contains(text);
}

void SelfUpdateTest::splashLooksAndCounts()
{
    UpdateSplash splash;
    QCOMPARE(splash.size(), QSize(360, 120));
    QVERIFY(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(splash.pos(), QPoint((screen.width() - 360) / 2, (screen.height() - 120) / 2));
    QCOMPARE(splash.statusText(), QString("Checking for updates..."));
    auto *bar = splash.findChild<QProgressBar *>();
    QVERIFY(bar);
    QCOMPARE(bar->maximum(), 0); // busy

    splash.showDownloading("1.0.17");
    QCOMPARE(splash.statusText(), QString("Downloading update v1.0.17..."));
    QCOMPARE(bar->maximum(), 100);
    splash.showProgress(1, 3);
    QCOMPARE(bar->value(), 33);
    // Unknown totals leave the bar where it is.
    splash.showProgress(500, 0);
    splash.showProgress(500, -1);
    QCOMPARE(bar->value(), 33);
    // Past 2 GiB the percentage still comes out right (64-bit arithmetic).
    splash.showProgress(3000000000LL, 4000000000LL);
    QCOMPARE(bar->value(), 75);

    splash.showDownloaded();
    QCOMPARE(splash.statusText(), QString("Update downloaded! Restarting..."));
    QCOMPARE(bar->value(), 100);
}

void SelfUpdateTest::batchScriptText_data()
{
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QString>("newExe");
    QTest::addColumn<QByteArray>("names"); // the three file names as the script spells them

    // The folder never appears in the text: cmd.exe could not read it in every code page.
    QTest::newRow("plain") << "C:/Games/Veyrun/Wardgate.exe"
                           << "C:/Games\\Veyrun/Wardgate.exe.new"
                           << QByteArray("Wardgate.exe|Wardgate.exe.old|Wardgate.exe.new");
    QTest::newRow("any folder") << QString::fromUtf8("D:\\ゲーム\\Łukasz\\Wardgate (1).exe")
                                << QString::fromUtf8("D:/ゲーム/Łukasz/Wardgate.exe.new")
                                << QByteArray("Wardgate (1).exe|Wardgate (1).exe.old|"
                                              "Wardgate.exe.new");
    QTest::newRow("percent") << "C:/x/W%PATH%.exe"
                             << "C:/x/W.new" << QByteArray("W%%PATH%%.exe|W%%PATH%%.exe.old|W.new");
    QTest::newRow("name outside ASCII")
        << QString::fromUtf8("C:/x/Wardgaté.exe") << "C:/x/Wardgate.exe.new" << QByteArray();
    QTest::newRow("other folders") << "C:/x/Wardgate.exe"
                                   << "C:/y/Wardgate.exe.new" << QByteArray();
}

void SelfUpdateTest::batchScriptText()
{
    QFETCH(QString, exe);
    QFETCH(QString, newExe);
    QFETCH(QByteArray, names);

    const QByteArray text = updatescript::batchText(4242, exe, newExe);
    if (names.isEmpty()) {
        QVERIFY(text.isEmpty());
        return;
    }
    const QList<QByteArray> name = names.split('|');
    const QByteArray expected = "@echo off\r\n"
                                "echo Updating launcher...\r\n"
                                ":wait\r\n"
                                "tasklist /FI \"PID eq 4242\" 2>NUL | find \"4242\" >NUL\r\n"
                                "if not errorlevel 1 (\r\n"
                                "    timeout /t 1 /nobreak >NUL\r\n"
                                "    goto wait\r\n"
                                ")\r\n"
                                "move /Y \"%~dp0" +
                                name[0] + "\" \"%~dp0" + name[1] +
                                "\" >NUL\r\n"
                                "move /Y \"%~dp0" +
                                name[2] + "\" \"%~dp0" + name[0] +
                                "\" >NUL\r\n"
                                "start \"\" \"%~dp0" +
                                name[0] +
                                "\"\r\n"
                                "del \"%~f0\"\r\n";
    QCOMPARE(text, expected);
}

void SelfUpdateTest::noNetworkReadsUpToDate()
{
    AutoUpdater *updater = makeUpdater(bin + "/Wardgate");
    server.reset(); // nothing answers any more

    QElapsedTimer clock;
    clock.start();
    const SelfUpdateOutcome outcome = runUpdateSplash(*updater);
    QVERIFY(clock.elapsed() >= 1400);
    QVERIFY(!outcome.updateReady);
    QCOMPARE(splashTexts, QStringList{"Launcher is up to date!"});
    QVERIFY(logged("[WARN] [AutoUpdater] Version check failed: "));
    // The splash is gone once the step returns.
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<UpdateSplash *>(widget));
}

void SelfUpdateTest::refusedDownloadGoesOnWithCurrentLauncher()
{
    const QString release = dir->filePath("release/Wardgate");
    QVERIFY(testsupport::writeFile(release, "launcher 1.0.17\n"));
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash("launcher 1.0.17\n", QCryptographicHash::Sha256).toHex());
    publish(release, {{"exe_hash_linux", digest.toUpper()}});

    QVERIFY(!runSelfUpdate(*makeUpdater(bin + "/Wardgate"), QCoreApplication::applicationPid()));
    QCOMPARE(splashTexts, QStringList{"Update check failed — starting launcher..."});
    QVERIFY(!logged("Applying update"));
    QCOMPARE(QDir(bin).entryList(QDir::Files), QStringList{"Wardgate"});
}

void SelfUpdateTest::unwritableScriptGoesOnWithCurrentLauncher()
{
    const QString release = dir->filePath("release/Wardgate");
    QVERIFY(testsupport::writeFile(release, "launcher 1.0.17\n"));
    publish(release);
    AutoUpdater *updater = makeUpdater(bin + "/Wardgate");
    // The folder turns read-only once the download is in; for root, whom permissions do not
    // stop, a directory stands where the script would go.
    QVERIFY(QDir().mkpath(bin + "/update.sh/occupied"));
    connect(updater, &AutoUpdater::updateDownloaded, this,
            [this] { QFile(bin).setPermissions(QFile::ReadOwner | QFile::ExeOwner); });

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!runSelfUpdate(*updater, QCoreApplication::applicationPid()));
    QVERIFY(clock.elapsed() >= 1900);
    QCOMPARE(splashTexts, QStringList{"Update downloaded! Restarting..."});
    QVERIFY(logged("[INFO] [AutoUpdater] Applying update and restarting..."));
    QVERIFY(logged("[ERROR] [AutoUpdater] Failed to launch update script"));
    QCOMPARE(QDir(bin).entryList(QDir::Files), QStringList({"Wardgate", "Wardgate.new"}));
}

void SelfUpdateTest::downloadedUpdateIsSwappedInOnceTheOldProcessEnds()
{
    const QString exe = bin + "/Wardgate";
    // The new launcher is the probe without its executable bit, as a download arrives.
    QVERIFY(QDir().mkpath(dir->filePath("release")));
    QVERIFY(
        QFile::copy(testsupport::helperPath("update_probe"), dir->filePath("release/Wardgate")));
    publish(dir->filePath("release/Wardgate"));

    QProcess oldLauncher;
    oldLauncher.start(testsupport::helperPath("update_probe"), {"wait"});
    QVERIFY(oldLauncher.waitForStarted());

    QVERIFY(runSelfUpdate(*makeUpdater(exe), oldLauncher.processId()));
    QCOMPARE(splashTexts, QStringList{"Update downloaded! Restarting..."});
    QVERIFY(QFile::exists(bin + "/update.sh"));

    // Nothing moves while the old launcher lives.
    testsupport::quietPeriod(1500);
    QCOMPARE(QFileInfo(exe).size(), qint64(sizeof("launcher 1.0.16\n") - 1));
    QVERIFY(QFile::exists(bin + "/Wardgate.new"));
    QVERIFY(QFile::exists(bin + "/update.sh"));
    QVERIFY(!QFile::exists(work + "/started"));

    oldLauncher.kill();
    QVERIFY(oldLauncher.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work + "/started"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(bin + "/update.sh"), 5000);

    QFile marker(work + "/started");
    QVERIFY(marker.open(QIODevice::ReadOnly));
    // Started from the swapped-in file, in the old launcher's working folder.
    QCOMPARE(QString::fromUtf8(marker.readAll()), QFileInfo(exe).canonicalFilePath());
    QFile swapped(exe);
    QVERIFY(swapped.open(QIODevice::ReadOnly));
    QFile probe(testsupport::helperPath("update_probe"));
    QVERIFY(probe.open(QIODevice::ReadOnly));
    QVERIFY(swapped.readAll() == probe.readAll());
    QVERIFY(QFile(exe).permissions() & QFile::ExeOwner);
    QFile old(exe + ".old");
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("launcher 1.0.16\n"));
    QVERIFY(!QFile::exists(bin + "/Wardgate.new"));
}

void SelfUpdateTest::unreapedOldProcessCountsAsEnded()
{
    const QString exe = bin + "/Wardgate";
    QVERIFY(QFile::copy(testsupport::helperPath("update_probe"), exe + ".new"));
    QProcess parent;
    parent.start(testsupport::helperPath("update_probe"), {"zombie"});
    QVERIFY(parent.waitForReadyRead());
    const qint64 zombie = parent.readLine().trimmed().toLongLong();
    QVERIFY(zombie > 0);
    QTRY_VERIFY([zombie] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(zombie));
        return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
    }());

    QVERIFY(updatescript::launch(zombie, exe, exe + ".new"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work + "/started"), 5000);
    QVERIFY(QFile::exists(exe + ".old"));
    parent.kill();
    QVERIFY(parent.waitForFinished());
}

QTEST_MAIN(SelfUpdateTest)
#include "tst_selfupdate.moc"
