#include "game/gamelauncher.h"

#include "core/launcherconfig.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

namespace {

// True when the executable lies below the configured game folder.
bool liesInGameDirectory(const QString &executablePath)
{
    QString root = QFileInfo(LauncherConfig::instance().gameDirectory).canonicalFilePath();
    if (root.isEmpty() || executablePath.isEmpty())
        return false;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    return QDir::cleanPath(executablePath).startsWith(root, sensitivity);
}

} // namespace

struct GameLauncher::WatcherLink
{
    QMutex mutex;
    GameLauncher *launcher = nullptr;
};

GameLauncher::GameLauncher(QObject *parent)
    : QObject(parent), watcherLink(std::make_shared<WatcherLink>())
{
    watcherLink->launcher = this;
}

GameLauncher::~GameLauncher()
{
    // A watcher posting its result holds the lock, so once it is released no call for this
    // object can be posted any more; QObject's destructor then drops what is already queued.
    QMutexLocker lock(&watcherLink->mutex);
    watcherLink->launcher = nullptr;
}

bool GameLauncher::launchGame(const QString &path, const ProgramCheck &check)
{
    if (isRunning()) {
        reportFailure(Warn, FailureText("GameLauncher", "Game is already running"));
        return false;
    }
    const QFileInfo file(path);
    if (!file.isFile()) {
        reportFailure(Error,
                      FailureText("GameLauncher", "Game executable not found: %1").arg(path));
        return false;
    }
    if (!file.isExecutable()) {
        reportFailure(Error, FailureText("GameLauncher", "File is not executable: %1").arg(path));
        return false;
    }

    const QString executable = file.absoluteFilePath();
    const QString folder = file.absolutePath();
    Logger &log = Logger::instance();
    log.log(Info, QStringLiteral("Launching game: %1").arg(executable));
    log.log(Info, QStringLiteral("Working directory: %1").arg(folder));

    // Held from its check to its start: on Windows nobody can write, replace or delete it
    // meanwhile, on Linux the open file itself is started.
    const std::string native = executable.toStdString();
    platform::InputFile program(native, platform::InputFile::ReadOnly);
    if (program.status() != platform::InputFile::Open) {
        reportFailure(Error,
                      FailureText("GameLauncher", "Cannot open the game program: %1").arg(path));
        return false;
    }
    if (check) {
        const FailureText problem = check(program);
        if (!problem.isEmpty()) {
            reportFailure(Error, problem);
            return false;
        }
    }
    const platform::StartResult started =
        platform::startProcess(program, native, std::string("0"), folder.toStdString());
    if (started.changed) {
        reportFailure(Error, FailureText("GameLauncher", "The game program %1 was changed while "
                                                         "it was started; it was stopped")
                                 .arg(path));
        return false;
    }
    if (!started.started) {
        reportFailure(
            Error,
            FailureText("GameLauncher", "Failed to start game (error %1)").arg(started.error));
        return false;
    }

    gamePid = started.pid;
    startProcessWatcher(gamePid);
    savePid(gamePid);
    log.log(Info, QStringLiteral("Game launched successfully"));
    emit gameStarted();
    return true;
}

void GameLauncher::terminateGame()
{
    if (!isRunning()) {
        Logger::instance().log(Warn, QStringLiteral("Cannot terminate - game is not running"));
        return;
    }
    Logger::instance().log(Info, QStringLiteral("Terminating game process..."));
    // No wait here: the watcher sees the end and reports gameClosed(0).
    platform::terminateProcess(gamePid);
}

bool GameLauncher::isRunning() const
{
    return gamePid > 0 && platform::isProcessAlive(gamePid);
}

qint64 GameLauncher::processId() const
{
    return gamePid > 0 ? gamePid : 0;
}

bool GameLauncher::restoreRunningGame()
{
    const qint64 pid = readSavedPid();
    if (pid <= 0)
        return false;
    if (!platform::isProcessAlive(pid)) {
        clearSavedPid();
        return false;
    }
    // After a reboot the recorded id may belong to any program; only a process running an
    // executable from our game folder is the game, anything else must never be stopped by us.
    const QString executable = QString::fromStdString(platform::processImagePath(pid));
    if (!liesInGameDirectory(executable)) {
        Logger::instance().log(
            Info, QStringLiteral("Saved game PID %1 belongs to another program (%2), not restored")
                      .arg(pid)
                      .arg(executable.isEmpty() ? QStringLiteral("unknown") : executable));
        clearSavedPid();
        return false;
    }
    gamePid = pid;
    startProcessWatcher(pid);
    Logger::instance().log(Info,
                           QStringLiteral("Restored game monitoring from saved PID: %1").arg(pid));
    return true;
}

void GameLauncher::startProcessWatcher(qint64 pid)
{
    if (watcherThread) {
        // A watcher blocked on its process cannot be interrupted; it deletes itself once that
        // process ends, and its late report is ignored because it is no longer the newest.
        watcherThread->quit();
        watcherThread->wait(1000);
    }
    const quint64 generation = ++watcherGeneration;
    QThread *thread = QThread::create([link = watcherLink, pid, generation] {
        const std::optional<int> exitCode = platform::waitForExit(pid);
        QMutexLocker lock(&link->mutex);
        if (GameLauncher *launcher = link->launcher) {
            QMetaObject::invokeMethod(
                launcher,
                [launcher, generation, exitCode] { launcher->onWatchEnded(generation, exitCode); },
                Qt::QueuedConnection);
        }
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    watcherThread = thread;
    thread->start();
}

void GameLauncher::onWatchEnded(quint64 generation, std::optional<int> exitCode)
{
    if (generation != watcherGeneration)
        return;
    if (!exitCode) {
        emit gameClosed(-1);
        return;
    }
    gamePid = 0;
    clearSavedPid();
    emit gameClosed(*exitCode);
}

QString GameLauncher::pidFilePath()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return QFileInfo(appData).absolutePath() + QStringLiteral("/Veyrun/game.pid");
}

void GameLauncher::savePid(qint64 pid)
{
    const QString path = pidFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written aside and renamed into place, so a reader never sees a half-written number.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QByteArray::number(pid));
    if (!file.commit())
        return;
    Logger::instance().log(Info, QStringLiteral("Saved game PID: %1").arg(pid));
}

qint64 GameLauncher::readSavedPid()
{
    QFile file(pidFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return parsePid(file.readAll());
}

qint64 GameLauncher::parsePid(const QByteArray &text)
{
    bool ok = false;
    const qint64 pid = text.trimmed().toLongLong(&ok, 10);
    return ok ? pid : 0;
}

void GameLauncher::clearSavedPid()
{
    QFile::remove(pidFilePath());
    Logger::instance().log(Debug, QStringLiteral("Cleared saved game PID"));
}

void GameLauncher::onGameFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Logger::instance().log(Info,
                           QStringLiteral("Game closed %1 with exit code %2")
                               .arg(exitStatus == QProcess::CrashExit ? QStringLiteral("crashed")
                                                                      : QStringLiteral("normally"))
                               .arg(exitCode));
    emit gameClosed(exitCode);
}

void GameLauncher::onGameError(QProcess::ProcessError error)
{
    FailureText text;
    switch (error) {
    case QProcess::FailedToStart:
        text = FailureText("GameLauncher", "Failed to start game");
        break;
    case QProcess::Crashed:
        text = FailureText("GameLauncher", "Game crashed");
        break;
    case QProcess::Timedout:
        text = FailureText("GameLauncher", "Game process timed out");
        break;
    case QProcess::ReadError:
        text = FailureText("GameLauncher", "Read error from game process");
        break;
    case QProcess::WriteError:
        text = FailureText("GameLauncher", "Write error to game process");
        break;
    default:
        text = FailureText("GameLauncher", "Unknown game process error");
        break;
    }
    reportFailure(Error, text);
}

void GameLauncher::refuseLaunch(const FailureText &reason)
{
    reportFailure(Error, reason);
}

void GameLauncher::reportFailure(LogLevel level, const FailureText &text)
{
    Logger::instance().log(level, text.logged());
    emit launchError(text.shown());
}
