#include "app/updatescript.h"
#include "support/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// Runs the real launcher executable in a sandboxed home, as a player would start it.
class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startLogsAndRemovesOldLeftover();
    void secondStartExitsQuietly();
    void updateScriptStartsNewLauncherThatRemovesOld();

private:
    QProcessEnvironment environment() const;
    QString logPath() const;
    bool waitForLine(const QString &text, int timeoutMs = 20000) const;
    void killDetachedLaunchers() const;

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QProcess> first;
    QString launcher;
};

void StartupTest::init()
{
    home = std::make_unique<QTemporaryDir>();
    // A copy of the launcher, so its ".old" leftover lies in a folder of the test's own.
    launcher = home->filePath("bin/Wardgate");
    QDir().mkpath(home->filePath("bin"));
    QVERIFY(QFile::copy(testsupport::launcherPath(), launcher));
    // The launchers under test talk to a closed port, never to a dev server that may be running
    // on the default one.
    const QByteArray ini = "[Server]\nAuthUrl=http://127.0.0.1:1/api/auth\n";
    QVERIFY(testsupport::writeFile(home->filePath("config/launcher.ini"), ini));
    QDir().mkpath(home->filePath("runtime"));
    QFile(home->filePath("runtime"))
        .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void StartupTest::cleanup()
{
    if (first) {
        first->kill();
        first->waitForFinished(5000);
        first.reset();
    }
    killDetachedLaunchers();
    home.reset();
}

QProcessEnvironment StartupTest::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home->path());
    env.insert("XDG_DATA_HOME", home->filePath("data"));
    env.insert("XDG_CONFIG_HOME", home->filePath("config-home"));
    env.insert("XDG_RUNTIME_DIR", home->filePath("runtime"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

QString StartupTest::logPath() const
{
    return home->filePath("data/Veyrun/Veyrun/launcher.log");
}

bool StartupTest::waitForLine(const QString &text, int timeoutMs) const
{
    return QTest::qWaitFor(
        [&] {
            const QStringList lines = testsupport::readLines(logPath());
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QString &line) { return line.endsWith(text); });
        },
        timeoutMs);
}

void StartupTest::startLogsAndRemovesOldLeftover()
{
    QVERIFY(testsupport::writeFile(launcher + ".old", "previous launcher"));
    first = std::make_unique<QProcess>();
    first->setProcessEnvironment(environment());
    first->setWorkingDirectory(home->path());
    first->start(launcher, {});
    QVERIFY(first->waitForStarted());
    QVERIFY2(waitForLine("[INFO] Main window shown"),
             qPrintable(testsupport::readLines(logPath()).join('\n')));

    const QStringList lines = testsupport::readLines(logPath());
    QVERIFY(lines.value(0).endsWith("[INFO] === Wardgate Started ==="));
    QVERIFY(lines.value(1).endsWith("[INFO] Version: 1.0.16"));
    QVERIFY(lines.value(2).endsWith("[INFO] Configuration loaded"));
    QVERIFY(!QFile::exists(launcher + ".old"));
}

void StartupTest::secondStartExitsQuietly()
{
    first = std::make_unique<QProcess>();
    first->setProcessEnvironment(environment());
    first->setWorkingDirectory(home->path());
    first->start(launcher, {});
    QVERIFY(first->waitForStarted());
    QVERIFY(waitForLine("[INFO] Main window shown"));
    const QStringList before = testsupport::readLines(logPath());

    QProcess second;
    second.setProcessEnvironment(environment());
    second.setWorkingDirectory(home->path());
    second.start(launcher, {});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    testsupport::quietPeriod(300);
    // The first launcher may go on logging (its server checks); the second adds nothing.
    const QStringList after = testsupport::readLines(logPath());
    QCOMPARE(after.mid(0, before.size()), before);
    QCOMPARE(after.filter("=== Wardgate Started ===").size(), 1);
    QCOMPARE(first->state(), QProcess::Running);
}

void StartupTest::killDetachedLaunchers() const
{
    // Launchers started by an update script are not our children; find them by their image.
    const QString image = QFileInfo(launcher).canonicalFilePath();
    QDirIterator processes("/proc", {}, QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString entry = processes.next();
        bool isPid = false;
        const qint64 pid = QFileInfo(entry).fileName().toLongLong(&isPid);
        if (isPid && QFileInfo(entry + "/exe").canonicalFilePath() == image)
            QProcess::execute("kill", {"-9", QString::number(pid)});
    }
}

void StartupTest::updateScriptStartsNewLauncherThatRemovesOld()
{
    // The launcher in place is an older build; the downloaded one is the real launcher.
    QVERIFY(QFile::rename(launcher, launcher + ".new"));
    QVERIFY(testsupport::writeFile(launcher, "previous launcher"));
    QProcess oldLauncher;
    oldLauncher.start(testsupport::helperPath("update_probe"), {"wait"});
    QVERIFY(oldLauncher.waitForStarted());

    // The script's launcher inherits this process's environment.
    const QProcessEnvironment env = environment();
    for (const QString &name : env.keys())
        qputenv(name.toLocal8Bit(), env.value(name).toLocal8Bit());
    // Run from the old launcher's working folder, whose config/launcher.ini the new one reads.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(home->path()));
    const bool launched =
        updatescript::launch(oldLauncher.processId(), launcher, launcher + ".new");
    QDir::setCurrent(previous);
    QVERIFY(launched);
    oldLauncher.kill();
    QVERIFY(oldLauncher.waitForFinished());

    QVERIFY2(waitForLine("[INFO] Main window shown"),
             qPrintable(testsupport::readLines(logPath()).join('\n')));
    QVERIFY(!QFile::exists(launcher + ".old"));
    QVERIFY(!QFile::exists(launcher + ".new"));
    QFile swapped(launcher);
    QVERIFY(swapped.open(QIODevice::ReadOnly));
    QFile built(testsupport::launcherPath());
    QVERIFY(built.open(QIODevice::ReadOnly));
    QVERIFY(swapped.readAll() == built.readAll());
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
