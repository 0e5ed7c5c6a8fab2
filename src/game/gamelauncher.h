#pragma once

#include "core/failuretext.h"
#include "core/logger.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace platform {
class InputFile;
}

// Starts the game executable, remembers its process id in "game.pid" so that a restarted
// launcher finds the game again, watches the process on a worker thread and reports its end.
class GameLauncher : public QObject
{
    Q_OBJECT

public:
    explicit GameLauncher(QObject *parent = nullptr);
    ~GameLauncher() override;

    // Why the program held open must not start (read through it: what is checked is what
    // starts); empty when it may.
    using ProgramCheck = std::function<FailureText(platform::InputFile &program)>;

    // Opens the program at `path`, hands it to `check` (when given) and starts that same file:
    // a program renamed over it or written meanwhile never runs in its place.
    bool launchGame(const QString &path, const ProgramCheck &check = ProgramCheck());
    // A launch the caller refuses before it starts anything: logged and reported as launchError.
    void refuseLaunch(const FailureText &reason);
    void terminateGame();
    bool isRunning() const;
    qint64 processId() const;
    // Re-attaches to a game recorded by an earlier launcher run; called once at start.
    bool restoreRunningGame();
    void startProcessWatcher(qint64 pid);

    static QString pidFilePath();
    static void savePid(qint64 pid);
    static qint64 readSavedPid();
    // The number in a PID file's text; 0 when it holds none.
    static qint64 parsePid(const QByteArray &text);
    static void clearSavedPid();

signals:
    void gameStarted();
    // exitCode is -1 when the process could not be opened for watching.
    void gameClosed(int exitCode);
    void launchError(const QString &error);

public slots:
    void onGameFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onGameError(QProcess::ProcessError error);

private:
    // Logged in English and reported as launchError in the player's language.
    void reportFailure(LogLevel level, const FailureText &text);
    void onWatchEnded(quint64 generation, std::optional<int> exitCode);

    // Shared with the watcher threads, which may outlive the launcher (each blocks on its
    // process until it ends); through it they reach the launcher only while it exists.
    struct WatcherLink;
    std::shared_ptr<WatcherLink> watcherLink;

    qint64 gamePid = 0;
    QPointer<QThread> watcherThread;
    // Counts watchers; only the newest may report, a superseded one is ignored.
    quint64 watcherGeneration = 0;
};
