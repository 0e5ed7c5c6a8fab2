#include "core/launcherconfig.h"
#include "core/logger.h"
#include "game/gamelauncher.h"
#include "platform/platform.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class GameLauncherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void launchRunsGameWithArgumentZeroInItsFolder();
    void launchRefusedWhileRunningAndTerminateReportsZero();
    void launchRefusals_data();
    void launchRefusals();
    void launchReportsSystemErrorWhenStartFails();
    void startsTheProgramThatWasChecked_data();
    void startsTheProgramThatWasChecked();
    void restoreWatchesLiveGame();
    void restoreDeletesStalePidFile();
    void restoreLeavesMalformedPidFile_data();
    void restoreLeavesMalformedPidFile();
    void restoreIgnoresUnrelatedLiveProcess_data();
    void restoreIgnoresUnrelatedLiveProcess();
    void unopenableProcessReportsMinusOne();
    void supersededWatcherStaysSilent();
    void watcherOutlivesLauncher();
    void processSlotsReportChildProcess();

private:
    // Sets how the next fake game behaves (it gets only the argument "0").
    void configureFakeGame(int lifetimeMs, int exitCode, const QString &record = QString());
    qint64 startDetachedGame(const QString &executable, int lifetimeMs);
    bool logged(const QString &line);
    QByteArray pidFileContent();

    QTemporaryDir temp;
    QString gameRoot;
    QString gameExe;
    std::unique_ptr<testsupport::LogCapture> log;
};

void GameLauncherTest::initTestCase()
{
    // The PID file lives in the user's application data: a home of our own keeps it apart from
    // other runs of this test on the same machine.
    qputenv("HOME", QFile::encodeName(temp.filePath(QStringLiteral("home"))));
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Veyrun"));
    log = std::make_unique<testsupport::LogCapture>();

    gameRoot = QFileInfo(temp.path()).canonicalFilePath() + QStringLiteral("/Game Root");
    gameExe = gameRoot + QStringLiteral("/system/l2.exe");
    QVERIFY(QDir().mkpath(gameRoot + QStringLiteral("/system")));
    QVERIFY(QFile::copy(testsupport::helperPath(QStringLiteral("fake_game")), gameExe));
    LauncherConfig::instance().gameDirectory = gameRoot;
}

void GameLauncherTest::init()
{
    GameLauncher::clearSavedPid();
    configureFakeGame(0, 0);
    log->clear();
}

void GameLauncherTest::cleanupTestCase()
{
    log.reset();
    GameLauncher::clearSavedPid();
}

void GameLauncherTest::configureFakeGame(int lifetimeMs, int exitCode, const QString &record)
{
    qputenv("WARDGATE_FAKE_GAME_MS", QByteArray::number(lifetimeMs));
    qputenv("WARDGATE_FAKE_GAME_EXIT", QByteArray::number(exitCode));
    qputenv("WARDGATE_FAKE_GAME_RECORD", record.toLocal8Bit());
}

// A game left by an earlier launcher run: not a child of this process.
qint64 GameLauncherTest::startDetachedGame(const QString &executable, int lifetimeMs)
{
    configureFakeGame(lifetimeMs, 0);
    qint64 pid = 0;
    if (!QProcess::startDetached(executable, {}, QFileInfo(executable).absolutePath(), &pid))
        return 0;
    return pid;
}

bool GameLauncherTest::logged(const QString &line)
{
    const QStringList lines = log->lines();
    for (const QString &entry : lines) {
        if (entry.endsWith(QLatin1Char(' ') + line))
            return true;
    }
    return false;
}

QByteArray GameLauncherTest::pidFileContent()
{
    QFile file(GameLauncher::pidFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void GameLauncherTest::launchRunsGameWithArgumentZeroInItsFolder()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QCOMPARE(GameLauncher::pidFilePath(),
             QFileInfo(appData).absolutePath() + QStringLiteral("/Veyrun/game.pid"));
    QVERIFY(GameLauncher::pidFilePath().startsWith(temp.path()));

    const QString record = temp.filePath(QStringLiteral("launch.txt"));
    configureFakeGame(800, 7, record);
    GameLauncher launcher;
    QSignalSpy started(&launcher, &GameLauncher::gameStarted);
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);

    QVERIFY(launcher.launchGame(gameExe));
    QCOMPARE(started.count(), 1);
    QVERIFY(launcher.processId() > 0);
    QVERIFY(launcher.isRunning());
    QCOMPARE(pidFileContent(), QByteArray::number(launcher.processId()));
    QVERIFY(logged(QStringLiteral("Launching game: %1").arg(gameExe)));
    QVERIFY(logged(QStringLiteral("Working directory: %1/system").arg(gameRoot)));
    QVERIFY(logged(QStringLiteral("Saved game PID: %1").arg(launcher.processId())));
    QVERIFY(logged(QStringLiteral("Game launched successfully")));

    QTRY_COMPARE(testsupport::readLines(record).size(), 2);
    QCOMPARE(testsupport::readLines(record),
             QStringList({gameRoot + QStringLiteral("/system"), QStringLiteral("0")}));

    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 7);
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(launcher.processId(), qint64(0));
    QVERIFY(!launcher.isRunning());
}

void GameLauncherTest::launchRefusedWhileRunningAndTerminateReportsZero()
{
    configureFakeGame(60000, 3);
    GameLauncher launcher;
    QSignalSpy started(&launcher, &GameLauncher::gameStarted);
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    QSignalSpy errors(&launcher, &GameLauncher::launchError);
    QVERIFY(launcher.launchGame(gameExe));
    const qint64 pid = launcher.processId();

    const QString secondRecord = temp.filePath(QStringLiteral("second.txt"));
    configureFakeGame(0, 0, secondRecord);
    QVERIFY(!launcher.launchGame(gameExe));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Game is already running"));
    QVERIFY(logged(QStringLiteral("Game is already running")));
    QCOMPARE(started.count(), 1);
    QCOMPARE(launcher.processId(), pid);
    QCOMPARE(pidFileContent(), QByteArray::number(pid));

    launcher.terminateGame();
    QVERIFY(logged(QStringLiteral("Terminating game process...")));
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 0);
    QVERIFY(!platform::isProcessAlive(pid));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QVERIFY(!QFile::exists(secondRecord));

    launcher.terminateGame();
    QVERIFY(logged(QStringLiteral("Cannot terminate - game is not running")));
}

void GameLauncherTest::launchRefusals_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("error");

    const QString plain = temp.filePath(QStringLiteral("plain/l2.exe"));
    testsupport::writeFile(plain, "not a program");
    QFile::setPermissions(plain, QFile::ReadOwner | QFile::WriteOwner);

    QTest::newRow("missing, relative path kept as passed")
        << "no such/../folder/l2.exe"
        << "Game executable not found: no such/../folder/l2.exe";
    QTest::newRow("folder instead of file")
        << gameRoot << QStringLiteral("Game executable not found: %1").arg(gameRoot);
    QTest::newRow("not executable")
        << plain << QStringLiteral("File is not executable: %1").arg(plain);
}

void GameLauncherTest::launchRefusals()
{
    QFETCH(QString, path);
    QFETCH(QString, error);
    GameLauncher launcher;
    QSignalSpy started(&launcher, &GameLauncher::gameStarted);
    QSignalSpy errors(&launcher, &GameLauncher::launchError);

    QVERIFY(!launcher.launchGame(path));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), error);
    QVERIFY(logged(error));
    QCOMPARE(started.count(), 0);
    QCOMPARE(launcher.processId(), qint64(0));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
}

void GameLauncherTest::launchReportsSystemErrorWhenStartFails()
{
    // Executable by its permissions, but no program the system can run.
    const QString broken = temp.filePath(QStringLiteral("broken/l2.exe"));
    QVERIFY(testsupport::writeFile(broken, QByteArray(64, '\x01')));
    QVERIFY(QFile::setPermissions(broken, QFile::ReadOwner | QFile::ExeOwner));

    GameLauncher launcher;
    QSignalSpy errors(&launcher, &GameLauncher::launchError);
    QVERIFY(!launcher.launchGame(broken));
    const QString expected = QStringLiteral("Failed to start game (error %1)").arg(ENOEXEC);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), expected);
    QVERIFY(logged(expected));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
}

void GameLauncherTest::restoreWatchesLiveGame()
{
    const qint64 pid = startDetachedGame(gameExe, 1000);
    QVERIFY(pid > 0);
    // Readers trim white space around the digits.
    QVERIFY(
        testsupport::writeFile(GameLauncher::pidFilePath(), " " + QByteArray::number(pid) + "\n"));

    GameLauncher launcher;
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    QVERIFY(launcher.restoreRunningGame());
    QCOMPARE(launcher.processId(), pid);
    QVERIFY(launcher.isRunning());
    QVERIFY(logged(QStringLiteral("Restored game monitoring from saved PID: %1").arg(pid)));

    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 0); // not our child: its exit code is not ours to read
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(launcher.processId(), qint64(0));
}

void GameLauncherTest::restoreDeletesStalePidFile()
{
    const platform::StartResult ended =
        platform::startProcess(gameExe.toStdString(), "0", gameRoot.toStdString());
    QVERIFY(ended.started);
    QVERIFY(platform::waitForExit(ended.pid).has_value());
    GameLauncher::savePid(ended.pid);
    QVERIFY(QFile::exists(GameLauncher::pidFilePath()));

    GameLauncher launcher;
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    QVERIFY(!launcher.restoreRunningGame());
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(launcher.processId(), qint64(0));
    testsupport::quietPeriod(100);
    QCOMPARE(closed.count(), 0);
}

void GameLauncherTest::restoreLeavesMalformedPidFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text") << QByteArray("not a pid");
    QTest::newRow("digits then text") << QByteArray("123abc");
    QTest::newRow("negative") << QByteArray("-42");
    QTest::newRow("empty") << QByteArray();
}

void GameLauncherTest::restoreLeavesMalformedPidFile()
{
    QFETCH(QByteArray, content);
    QVERIFY(testsupport::writeFile(GameLauncher::pidFilePath(), content));
    GameLauncher launcher;
    QVERIFY(!launcher.restoreRunningGame());
    QCOMPARE(launcher.processId(), qint64(0));
    QVERIFY(QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(pidFileContent(), content);
}

void GameLauncherTest::restoreIgnoresUnrelatedLiveProcess_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("helper folder")
        << QFileInfo(testsupport::helperPath("fake_game")).absolutePath();
    // Shares the game folder's name as a prefix, but lies outside it.
    QTest::newRow("sibling folder") << gameRoot + QStringLiteral("-other");
}

void GameLauncherTest::restoreIgnoresUnrelatedLiveProcess()
{
    QFETCH(QString, folder);
    const QString program = folder + QStringLiteral("/unrelated");
    QFile::remove(program);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(testsupport::helperPath(QStringLiteral("fake_game")), program));
    const qint64 pid = startDetachedGame(program, 30000);
    QVERIFY(pid > 0);
    GameLauncher::savePid(pid);

    GameLauncher launcher;
    QVERIFY(!launcher.restoreRunningGame());
    QCOMPARE(launcher.processId(), qint64(0));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QVERIFY(!logged(QStringLiteral("Restored game monitoring from saved PID: %1").arg(pid)));

    // "Stop Game" must not reach the unrelated program.
    launcher.terminateGame();
    QVERIFY(logged(QStringLiteral("Cannot terminate - game is not running")));
    QVERIFY(platform::isProcessAlive(pid));
    QVERIFY(platform::terminateProcess(pid));
}

void GameLauncherTest::unopenableProcessReportsMinusOne()
{
    // What follows when the shell starts the game without handing back a process: pid 0.
    GameLauncher launcher;
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    GameLauncher::savePid(0);
    launcher.startProcessWatcher(0);
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toInt(), -1);
    QVERIFY(QFile::exists(GameLauncher::pidFilePath()));
}

void GameLauncherTest::supersededWatcherStaysSilent()
{
    // A watcher replaced by a newer one may still be blocked on its process; when that process
    // ends later, its report must not end the newer game.
    GameLauncher launcher;
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    configureFakeGame(60000, 0);
    const platform::StartResult old =
        platform::startProcess(gameExe.toStdString(), "0", gameRoot.toStdString());
    QVERIFY(old.started);
    launcher.startProcessWatcher(old.pid);

    configureFakeGame(60000, 0);
    QVERIFY(launcher.launchGame(gameExe));
    const qint64 current = launcher.processId();
    QVERIFY(platform::terminateProcess(old.pid));
    testsupport::quietPeriod(300);
    QCOMPARE(closed.count(), 0);
    QCOMPARE(pidFileContent(), QByteArray::number(current));

    launcher.terminateGame();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 0);
}

void GameLauncherTest::watcherOutlivesLauncher()
{
    // The launcher goes away while its game still runs; the game's end must then reach nothing
    // (the PID file stays for the next launcher run, which finds the game gone).
    configureFakeGame(300, 0);
    auto *launcher = new GameLauncher;
    QVERIFY(launcher->launchGame(gameExe));
    const qint64 pid = launcher->processId();
    delete launcher;
    QTRY_VERIFY_WITH_TIMEOUT(!platform::isProcessAlive(pid), 10000);
    testsupport::quietPeriod(200);
    QCOMPARE(pidFileContent(), QByteArray::number(pid));

    GameLauncher next;
    QVERIFY(!next.restoreRunningGame());
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
}

void GameLauncherTest::processSlotsReportChildProcess()
{
    GameLauncher launcher;
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    QSignalSpy errors(&launcher, &GameLauncher::launchError);

    QProcess missing;
    connect(&missing, &QProcess::errorOccurred, &launcher, &GameLauncher::onGameError);
    missing.start(temp.filePath(QStringLiteral("missing-program")));
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Failed to start game"));
    QVERIFY(logged(QStringLiteral("Failed to start game")));

    configureFakeGame(0, 4);
    QProcess normal;
    connect(&normal, &QProcess::finished, &launcher, &GameLauncher::onGameFinished);
    normal.start(gameExe);
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 4);
    QVERIFY(logged(QStringLiteral("Game closed normally with exit code 4")));

    configureFakeGame(60000, 0);
    QProcess crashing;
    connect(&crashing, &QProcess::finished, &launcher, &GameLauncher::onGameFinished);
    connect(&crashing, &QProcess::errorOccurred, &launcher, &GameLauncher::onGameError);
    crashing.start(gameExe);
    QVERIFY(crashing.waitForStarted());
    crashing.kill();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 2, 10000);
    QVERIFY(logged(
        QStringLiteral("Game closed crashed with exit code %1").arg(closed.at(1).at(0).toInt())));
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(1).at(0).toString(), QStringLiteral("Game crashed"));
}

void GameLauncherTest::startsTheProgramThatWasChecked_data()
{
    QTest::addColumn<QString>("between"); // what happens between the check and the start
    QTest::newRow("nothing") << "";
    QTest::newRow("another program renamed over it") << "rename";
    QTest::newRow("written in place") << "write";
    QTest::newRow("check refuses") << "refuse";
}

// What starts is the file that was checked: a program renamed over its path between the check
// and the start never runs, and one written in place is not left running.
void GameLauncherTest::startsTheProgramThatWasChecked()
{
    QFETCH(QString, between);
    const QString program = gameRoot + QStringLiteral("/system/checked.exe");
    QFile::remove(program);
    QVERIFY(QFile::copy(gameExe, program));
    const QString record = temp.filePath(QStringLiteral("checked.txt"));
    QFile::remove(record);
    configureFakeGame(0, 0, record);
    const QString mark = temp.filePath(QStringLiteral("impostor ran"));
    QFile::remove(mark);
    const QString impostor = gameRoot + QStringLiteral("/system/impostor.sh");
    QVERIFY(
        testsupport::writeFile(impostor, "#!/bin/sh\ntouch '" + QFile::encodeName(mark) + "'\n"));
    QVERIFY(
        QFile::setPermissions(impostor, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    GameLauncher launcher;
    QSignalSpy started(&launcher, &GameLauncher::gameStarted);
    QSignalSpy closed(&launcher, &GameLauncher::gameClosed);
    QSignalSpy errors(&launcher, &GameLauncher::launchError);
    QByteArray checkedStart;
    const bool launched = launcher.launchGame(program, [&](platform::InputFile &file) {
        checkedStart.resize(4);
        checkedStart.resize(qMax<qint64>(0, file.read(checkedStart.data(), 4)));
        if (between == "rename")
            platform::replaceFile(impostor.toStdString(), program.toStdString());
        if (between == "write") {
            QFile written(program);
            if (written.open(QIODevice::Append))
                written.write("appended");
        }
        return between == "refuse" ? FailureText::verbatim("not this one") : FailureText();
    });
    // The check read the program itself.
    QCOMPARE(checkedStart, QByteArray("\x7f"
                                      "ELF"));
    if (between.isEmpty() || between == "rename") {
        QVERIFY(launched);
        QCOMPARE(started.count(), 1);
        QTRY_COMPARE(testsupport::readLines(record).size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
        QVERIFY(!QFile::exists(mark));
        return;
    }
    QVERIFY(!launched);
    QCOMPARE(started.count(), 0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(),
             between == "refuse"
                 ? QStringLiteral("not this one")
                 : QStringLiteral("The game program %1 was changed while it was started; it was "
                                  "stopped")
                       .arg(program));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QVERIFY(!launcher.isRunning());
}

QTEST_GUILESS_MAIN(GameLauncherTest)
#include "tst_gamelauncher.moc"
