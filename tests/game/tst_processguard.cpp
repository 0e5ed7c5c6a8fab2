#include "core/filedigest.h"
#include "core/logger.h"
#include "game/processguard.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

// Every client in these tests is the module_mapper helper: it maps files named like the game's
// modules from a chosen folder, so the guard finds it in /proc exactly as it would a real client.
class ProcessGuardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void modulesOutsideAreForeignEvenWithOurExecutable();
    void singleGameModuleIsNeverReported();
    void secondCopyIsCloneButOwnPidNever();
    void prefixTestHasNoSeparatorCheck();
    void reportStopsScanUntilMonitoringRestarts();
    void checkBeforeLaunchLogsWithoutSignal();
    void startLogShowsHashPrefix();

private:
    // Starts a client from `executable` that maps `modules` from `folder`; returns its pid.
    qint64 startClient(const QString &executable, const QString &folder,
                       const QStringList &modules = {});
    void makeGameFolder(const QString &folder, const QString &executable);
    bool logged(const QString &line);
    QTimer *timerOf(ProcessGuard &guard);

    QTemporaryDir temp;
    QString ourSystem;     // <temp>/Games/L2/system: our client and its modules
    QString otherSystem;   // <temp>/Other Server/system: a client of another server
    QString siblingSystem; // <temp>/Games/L2-other/system
    QString ourExe;
    QString patchedExe; // runs like ours, but differs by its digest
    std::vector<std::unique_ptr<QProcess>> clients;
    std::unique_ptr<testsupport::LogCapture> log;
};

void ProcessGuardTest::initTestCase()
{
    testsupport::lockGameClients();
    QStandardPaths::setTestModeEnabled(true);
    log = std::make_unique<testsupport::LogCapture>();
    const QString root = QFileInfo(temp.path()).canonicalFilePath();
    ourSystem = root + QStringLiteral("/Games/L2/system");
    otherSystem = root + QStringLiteral("/Other Server/system");
    siblingSystem = root + QStringLiteral("/Games/L2-other/system");
    ourExe = ourSystem + QStringLiteral("/l2.exe");
    makeGameFolder(ourSystem, ourExe);
    makeGameFolder(otherSystem, otherSystem + QStringLiteral("/l2.exe"));
    makeGameFolder(siblingSystem, siblingSystem + QStringLiteral("/l2.exe"));
    // Module names are compared without regard to case.
    QVERIFY(testsupport::writeFile(otherSystem + QStringLiteral("/Engine.DLL"), "module"));

    // The same program with bytes appended: it still runs, but its digest is not ours.
    patchedExe = root + QStringLiteral("/patched/l2.exe");
    QVERIFY(QDir().mkpath(QFileInfo(patchedExe).absolutePath()));
    QVERIFY(QFile::copy(ourExe, patchedExe));
    QFile patched(patchedExe);
    QVERIFY(patched.open(QIODevice::Append));
    patched.write("patched");
    patched.close();
    QVERIFY(fileSha256(patchedExe) != fileSha256(ourExe));
}

void ProcessGuardTest::makeGameFolder(const QString &folder, const QString &executable)
{
    for (const char *name : {"engine.dll", "core.dll", "lineagecreature.dll"})
        QVERIFY(testsupport::writeFile(folder + QLatin1Char('/') + QLatin1String(name),
                                       QByteArray("module ") + name));
    QVERIFY(QFile::copy(testsupport::helperPath(QStringLiteral("module_mapper")), executable));
}

void ProcessGuardTest::init()
{
    log->clear();
}

void ProcessGuardTest::cleanup()
{
    for (const std::unique_ptr<QProcess> &client : clients) {
        client->kill();
        client->waitForFinished();
    }
    clients.clear();
}

void ProcessGuardTest::cleanupTestCase()
{
    log.reset();
}

qint64 ProcessGuardTest::startClient(const QString &executable, const QString &folder,
                                     const QStringList &modules)
{
    auto client = std::make_unique<QProcess>();
    client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client->start(executable, QStringList{folder} + modules);
    if (!client->waitForReadyRead(10000) || !client->readAll().startsWith("ready"))
        return 0;
    const qint64 pid = client->processId();
    clients.push_back(std::move(client));
    return pid;
}

bool ProcessGuardTest::logged(const QString &line)
{
    const QStringList lines = log->lines();
    for (const QString &entry : lines) {
        if (entry.endsWith(QLatin1Char(' ') + line))
            return true;
    }
    return false;
}

QTimer *ProcessGuardTest::timerOf(ProcessGuard &guard)
{
    return guard.findChild<QTimer *>();
}

void ProcessGuardTest::modulesOutsideAreForeignEvenWithOurExecutable()
{
    const qint64 ours = startClient(ourExe, ourSystem);
    // Byte for byte our client, but running another server's modules.
    const qint64 foreign = startClient(ourExe, otherSystem,
                                       {QStringLiteral("Engine.DLL"), QStringLiteral("core.dll")});
    QVERIFY(ours && foreign);

    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    guard.startMonitoring(ours, ourSystem);
    guard.onTimerTick();
    const QString description =
        QStringLiteral("Foreign L2 client (different server): PID=%1 exe=l2.exe").arg(foreign);
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(), description);
    QVERIFY(logged(QStringLiteral("[ProcessGuard] Foreign L2 client detected during game: %1")
                       .arg(description)));
}

void ProcessGuardTest::singleGameModuleIsNeverReported()
{
    const qint64 ours = startClient(ourExe, ourSystem);
    // One module from elsewhere; and one inside plus one outside, which is neither.
    QVERIFY(startClient(ourExe, otherSystem, {QStringLiteral("engine.dll")}));
    QVERIFY(startClient(
        ourExe, ourSystem,
        {QStringLiteral("core.dll"), QStringLiteral("../../../Other Server/system/engine.dll")}));
    QVERIFY(ours);

    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    guard.startMonitoring(ours, ourSystem);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 0);
    QVERIFY(timerOf(guard)->isActive());
}

void ProcessGuardTest::secondCopyIsCloneButOwnPidNever()
{
    const qint64 ours = startClient(ourExe, ourSystem);
    QVERIFY(ours);
    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    guard.startMonitoring(ours, ourSystem);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 0);

    // Our modules, but another program: counts as ours, yet it is no copy of our client.
    QVERIFY(startClient(patchedExe, ourSystem));
    guard.onTimerTick();
    QCOMPARE(reports.count(), 0);

    const qint64 clone = startClient(ourExe, ourSystem);
    QVERIFY(clone);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(),
             QStringLiteral("Clone of our L2 client: PID=%1 exe=l2.exe").arg(clone));
}

void ProcessGuardTest::prefixTestHasNoSeparatorCheck()
{
    // With the game root ".../games/l2", modules under ".../games/l2-other" count as inside.
    const qint64 ours = startClient(ourExe, ourSystem);
    QVERIFY(startClient(patchedExe, siblingSystem));
    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    guard.startMonitoring(ours, ourSystem);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 0);

    const qint64 sibling = startClient(siblingSystem + QStringLiteral("/l2.exe"), siblingSystem);
    QVERIFY(sibling);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(),
             QStringLiteral("Clone of our L2 client: PID=%1 exe=l2.exe").arg(sibling));
}

void ProcessGuardTest::reportStopsScanUntilMonitoringRestarts()
{
    const qint64 ours = startClient(ourExe, ourSystem);
    QVERIFY(startClient(otherSystem + QStringLiteral("/l2.exe"), otherSystem));
    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    QTimer *timer = timerOf(guard);
    QVERIFY(!timer->isActive());

    guard.startMonitoring(ours, ourSystem);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 30000);
    QVERIFY(!timer->isSingleShot());

    guard.onTimerTick();
    QCOMPARE(reports.count(), 1);
    QVERIFY(!timer->isActive());

    guard.startMonitoring(ours, ourSystem);
    QVERIFY(timer->isActive());
    guard.onTimerTick();
    QCOMPARE(reports.count(), 2);
    QVERIFY(!timer->isActive());

    guard.startMonitoring(ours, ourSystem);
    guard.stopMonitoring();
    QVERIFY(!timer->isActive());
}

void ProcessGuardTest::checkBeforeLaunchLogsWithoutSignal()
{
    ProcessGuard guard;
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    QVERIFY(guard.checkBeforeLaunch());

    // Our client left running by an earlier launcher run. Before any monitoring nothing is ours,
    // so it counts as foreign.
    const qint64 earlier = startClient(ourExe, ourSystem);
    QVERIFY(earlier);
    QVERIFY(!guard.checkBeforeLaunch());
    QVERIFY(logged(QStringLiteral("[ProcessGuard] Foreign L2 client detected before launch: "
                                  "Foreign L2 client (different server): PID=%1 exe=l2.exe")
                       .arg(earlier)));

    // Once monitoring has known our folder it is a clone, even though it was the watched pid:
    // before a launch no process is exempt. The running timer is left alone.
    guard.startMonitoring(earlier, ourSystem);
    QVERIFY(!guard.checkBeforeLaunch());
    QVERIFY(logged(QStringLiteral("[ProcessGuard] Foreign L2 client detected before launch: "
                                  "Clone of our L2 client: PID=%1 exe=l2.exe")
                       .arg(earlier)));
    QVERIFY(timerOf(guard)->isActive());
    QCOMPARE(reports.count(), 0);
}

void ProcessGuardTest::startLogShowsHashPrefix()
{
    ProcessGuard guard;
    const QString gameRoot = QFileInfo(ourSystem).absolutePath();

    // The game root itself: the client is found in its "system" folder.
    guard.startMonitoring(12, gameRoot);
    QVERIFY(logged(
        QStringLiteral("[ProcessGuard] Monitoring started. PID=12, gameDir=%1, "
                       "exeHash=%2...")
            .arg(QFileInfo(gameRoot).absolutePath().toLower(), fileSha256(ourExe).left(16))));

    // A folder without a client: no hash, so even a copy of our client running our modules is
    // never reported as a clone.
    const qint64 copy = startClient(ourExe, ourSystem);
    QVERIFY(copy);
    const QString bin = gameRoot + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(bin));
    guard.startMonitoring(34, bin);
    QVERIFY(logged(QStringLiteral("[ProcessGuard] Monitoring started. PID=34, gameDir=%1, "
                                  "exeHash=...")
                       .arg(gameRoot.toLower())));
    QSignalSpy reports(&guard, &ProcessGuard::foreignClientDetected);
    guard.onTimerTick();
    QCOMPARE(reports.count(), 0);
}

QTEST_GUILESS_MAIN(ProcessGuardTest)
#include "tst_processguard.moc"
