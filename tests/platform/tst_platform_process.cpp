#include "platform/linux/pidfdfallback.h"
#include "platform/platform.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

QString fakeGame()
{
    return testsupport::helperPath(QStringLiteral("fake_game"));
}

// Starts the fake game through the platform layer with the given behaviour.
platform::StartResult startFakeGame(const QString &folder, int lifetimeMs, int exitCode,
                                    const QString &record = QString())
{
    qputenv("WARDGATE_FAKE_GAME_MS", QByteArray::number(lifetimeMs));
    qputenv("WARDGATE_FAKE_GAME_EXIT", QByteArray::number(exitCode));
    qputenv("WARDGATE_FAKE_GAME_RECORD", record.toLocal8Bit());
    return platform::startProcess(fakeGame().toStdString(), "0", folder.toStdString());
}

} // namespace

class PlatformProcessTest : public QObject
{
    Q_OBJECT

private slots:
    void startsWithArgumentAndFolder();
    void startFailureGivesSystemError();
    void waitGivesExitCode();
    void waitReportsTerminatedAsZero();
    void waitReportsForeignKillBySignal();
    void endedChildCountsAsNotAlive();
    void processNotOurChildGivesZero();
    void invalidPidsAreRefused();
    void withoutPidfd();
    void snapshotsSeeMappedModules();
    void mappedFilesParsing_data();
    void mappedFilesParsing();
    void fileNameOfPath_data();
    void fileNameOfPath();

private:
    QTemporaryDir temp;
};

void PlatformProcessTest::startsWithArgumentAndFolder()
{
    const QString folder = temp.filePath(QStringLiteral("game folder"));
    QVERIFY(QDir().mkpath(folder));
    const QString record = temp.filePath(QStringLiteral("record.txt"));
    const platform::StartResult started = startFakeGame(folder, 0, 0, record);
    QVERIFY(started.started);
    QVERIFY(started.pid > 0);
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(0));
    QCOMPARE(testsupport::readLines(record),
             QStringList({QFileInfo(folder).canonicalFilePath(), QStringLiteral("0")}));
}

void PlatformProcessTest::startFailureGivesSystemError()
{
    const platform::StartResult missing = platform::startProcess(
        temp.filePath(QStringLiteral("missing")).toStdString(), "0", temp.path().toStdString());
    QVERIFY(!missing.started);
    QCOMPARE(missing.error, std::uint32_t(ENOENT));

    const platform::StartResult badFolder = platform::startProcess(
        fakeGame().toStdString(), "0", temp.filePath(QStringLiteral("no-folder")).toStdString());
    QVERIFY(!badFolder.started);
    QVERIFY(badFolder.error != 0);
}

void PlatformProcessTest::waitGivesExitCode()
{
    const platform::StartResult started = startFakeGame(temp.path(), 200, 42);
    QVERIFY(started.started);
    QVERIFY(platform::isProcessAlive(started.pid));
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(42));
    QVERIFY(!platform::isProcessAlive(started.pid));
}

void PlatformProcessTest::waitReportsTerminatedAsZero()
{
    const platform::StartResult started = startFakeGame(temp.path(), 60000, 3);
    QVERIFY(started.started);
    QVERIFY(platform::terminateProcess(started.pid));
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(0));
}

void PlatformProcessTest::waitReportsForeignKillBySignal()
{
    // Killed by someone else: not the game's own exit code, and not the 0 of our own stop.
    const platform::StartResult started = startFakeGame(temp.path(), 60000, 0);
    QVERIFY(started.started);
    QCOMPARE(::kill(static_cast<pid_t>(started.pid), SIGTERM), 0);
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(128 + SIGTERM));
}

void PlatformProcessTest::endedChildCountsAsNotAlive()
{
    // A child that has exited stays a zombie until waited for; it must count as ended already,
    // and its exit code must still be there for the watcher.
    const platform::StartResult started = startFakeGame(temp.path(), 0, 9);
    QVERIFY(started.started);
    QTRY_VERIFY(!platform::isProcessAlive(started.pid));
    QVERIFY(QFile::exists(QStringLiteral("/proc/%1").arg(started.pid)));
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(9));
}

void PlatformProcessTest::processNotOurChildGivesZero()
{
    qputenv("WARDGATE_FAKE_GAME_MS", "300");
    qputenv("WARDGATE_FAKE_GAME_EXIT", "5");
    qputenv("WARDGATE_FAKE_GAME_RECORD", "");
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(fakeGame(), {}, temp.path(), &pid));
    QVERIFY(platform::isProcessAlive(pid));
    QCOMPARE(platform::waitForExit(pid), std::optional<int>(0));
    QVERIFY(!platform::isProcessAlive(pid));
}

void PlatformProcessTest::invalidPidsAreRefused()
{
    for (const std::int64_t pid : {std::int64_t(0), std::int64_t(-1), std::int64_t(1) << 40}) {
        QVERIFY(!platform::isProcessAlive(pid));
        QVERIFY(!platform::waitForExit(pid).has_value());
        QVERIFY(platform::listModules(pid).empty());
        QVERIFY(platform::processImagePath(pid).empty());
    }
}

// A kernel before 5.3: a running game still counts as running, and its end and exit code are
// still seen, for our child and for a process that is not.
void PlatformProcessTest::withoutPidfd()
{
    platform::setPidfdUsable(false);
    const auto restore = qScopeGuard([] { platform::setPidfdUsable(true); });
    const platform::StartResult started = startFakeGame(temp.path(), 300, 42);
    QVERIFY(started.started);
    QVERIFY(platform::isProcessAlive(started.pid));
    QCOMPARE(platform::waitForExit(started.pid), std::optional<int>(42));
    QVERIFY(!platform::isProcessAlive(started.pid));

    const platform::StartResult zombie = startFakeGame(temp.path(), 0, 9);
    QVERIFY(zombie.started);
    QTRY_VERIFY(!platform::isProcessAlive(zombie.pid));
    QCOMPARE(platform::waitForExit(zombie.pid), std::optional<int>(9));

    qputenv("WARDGATE_FAKE_GAME_MS", "300");
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(fakeGame(), {}, temp.path(), &pid));
    QVERIFY(platform::isProcessAlive(pid));
    QCOMPARE(platform::waitForExit(pid), std::optional<int>(0));
    QVERIFY(!platform::isProcessAlive(pid));
}

void PlatformProcessTest::snapshotsSeeMappedModules()
{
    const QString modules = temp.filePath(QStringLiteral("modules dir"));
    // One game module only, so that a guard test running at the same time never sees a client.
    for (const char *name : {"Engine.dll", "other.bin"})
        QVERIFY(testsupport::writeFile(modules + QLatin1Char('/') + QLatin1String(name), "MZ"));
    QProcess mapper;
    mapper.start(testsupport::helperPath(QStringLiteral("module_mapper")),
                 {modules, QStringLiteral("Engine.dll"), QStringLiteral("other.bin")});
    QVERIFY(mapper.waitForReadyRead(10000));
    const qint64 pid = mapper.processId();

    bool listed = false;
    for (const platform::ProcessEntry &process : platform::listProcesses())
        listed = listed || (process.pid == pid && process.exeName == "module_mapper");
    QVERIFY(listed);

    const std::string engine = (modules + QStringLiteral("/Engine.dll")).toStdString();
    int engineEntries = 0;
    bool sawOther = false;
    bool sawExe = false;
    for (const platform::ModuleEntry &module : platform::listModules(pid)) {
        engineEntries += module.path == engine && module.name == "Engine.dll";
        sawOther = sawOther || module.name == "other.bin";
        sawExe = sawExe || module.name == "module_mapper";
    }
    QCOMPARE(engineEntries, 1);
    QVERIFY(sawOther);
    QVERIFY(sawExe);

    QCOMPARE(
        QString::fromStdString(platform::processImagePath(pid)),
        QFileInfo(testsupport::helperPath(QStringLiteral("module_mapper"))).canonicalFilePath());
    mapper.kill();
    QVERIFY(mapper.waitForFinished());
}

void PlatformProcessTest::mappedFilesParsing_data()
{
    QTest::addColumn<QByteArray>("maps");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("pseudo and anonymous left out")
        << QByteArray("55d0-55d1 r--p 00000000 00:00 0          [heap]\n"
                      "7ffc-7ffd rw-p 00000000 00:00 0          [stack]\n"
                      "7f00-7f01 rw-p 00000000 00:00 0 \n"
                      "7f01-7f02 rw-p 00000000 00:00 0\n")
        << QStringList();
    QTest::newRow("each file once, in order")
        << QByteArray("1000-2000 r--p 00000000 08:01 11   /opt/l2/system/engine.dll\n"
                      "2000-3000 r-xp 00001000 08:01 11   /opt/l2/system/engine.dll\n"
                      "3000-4000 r--p 00000000 08:01 12   /opt/l2/system/core.dll\n"
                      "4000-5000 r--p 00000000 08:01 11   /opt/l2/system/engine.dll\n")
        << QStringList({"/opt/l2/system/engine.dll", "/opt/l2/system/core.dll"});
    QTest::newRow("spaces in path")
        << QByteArray("1000-2000 r--p 00000000 08:01 11 /home/a b/Lineage II/core.dll\n")
        << QStringList({"/home/a b/Lineage II/core.dll"});
    QTest::newRow("deleted mark dropped")
        << QByteArray("1000-2000 r--p 00000000 08:01 11 /g/engine.dll (deleted)\n"
                      "2000-3000 r--p 00000000 08:01 11 /g/engine.dll\n")
        << QStringList({"/g/engine.dll"});
    QTest::newRow("truncated lines")
        << QByteArray("1000-2000 r--p 00000000\n1000-2000\n\n   \n/only/a/path\n"
                      "1000-2000 r--p 00000000 08:01 11 relative/path\n")
        << QStringList();
}

void PlatformProcessTest::mappedFilesParsing()
{
    QFETCH(QByteArray, maps);
    QFETCH(QStringList, files);
    QStringList parsed;
    for (const std::string &file : platform::parseMappedFiles(maps.toStdString()))
        parsed.append(QString::fromStdString(file));
    QCOMPARE(parsed, files);
}

void PlatformProcessTest::fileNameOfPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("slashes") << "/opt/l2/system/l2.exe"
                             << "l2.exe";
    QTest::newRow("backslashes") << "C:\\Games\\L2\\system\\Engine.dll"
                                 << "Engine.dll";
    QTest::newRow("mixed") << "C:/Games\\L2/core.dll"
                           << "core.dll";
    QTest::newRow("bare name") << "l2.exe"
                               << "l2.exe";
    QTest::newRow("folder") << "/opt/l2/"
                            << "";
}

void PlatformProcessTest::fileNameOfPath()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(platform::fileNameOfPath(path.toStdString())), name);
}

QTEST_GUILESS_MAIN(PlatformProcessTest)
#include "tst_platform_process.moc"
