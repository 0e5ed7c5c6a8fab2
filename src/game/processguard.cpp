#include "game/processguard.h"

#include "core/filedigest.h"
#include "core/logger.h"
#include "platform/platform.h"

#include <QFileInfo>
#include <QStringList>
#include <QTimer>

namespace {

const QStringList gameModuleNames = {QStringLiteral("engine.dll"), QStringLiteral("core.dll"),
                                     QStringLiteral("lineagecreature.dll")};

constexpr int scanIntervalMs = 30000;

} // namespace

ProcessGuard::ProcessGuard(QObject *parent) : QObject(parent), scanTimer(new QTimer(this))
{
    connect(scanTimer, &QTimer::timeout, this, &ProcessGuard::onTimerTick);
}

ProcessGuard::~ProcessGuard()
{
    scanTimer->stop();
}

void ProcessGuard::startMonitoring(qint64 pid, const QString &exeDirectory)
{
    ourPid = pid;
    // The parent of the executable's folder: with the client in "system", the game root.
    gameDirPrefix = QFileInfo(exeDirectory).absolutePath().toLower();
    ourExeHash = fileSha256(exeDirectory + QStringLiteral("/l2.exe"));
    if (ourExeHash.isEmpty())
        ourExeHash = fileSha256(exeDirectory + QStringLiteral("/system/l2.exe"));

    Logger::instance().log(Info, QStringLiteral("[ProcessGuard] Monitoring started. PID=%1, "
                                                "gameDir=%2, exeHash=%3...")
                                     .arg(pid)
                                     .arg(gameDirPrefix, ourExeHash.left(16)));
    scanTimer->start(scanIntervalMs);
}

void ProcessGuard::stopMonitoring()
{
    scanTimer->stop();
}

bool ProcessGuard::checkBeforeLaunch()
{
    ourPid = 0; // nothing runs yet that could be exempt
    const QString description = scanForForeignClients();
    if (description.isEmpty())
        return true;
    Logger::instance().log(
        Warn, QStringLiteral("[ProcessGuard] Foreign L2 client detected before launch: %1")
                  .arg(description));
    return false;
}

void ProcessGuard::onTimerTick()
{
    const QString description = scanForForeignClients();
    if (description.isEmpty())
        return;
    Logger::instance().log(
        Warn, QStringLiteral("[ProcessGuard] Foreign L2 client detected during game: %1")
                  .arg(description));
    emit foreignClientDetected(description);
    // One report is enough: the window ends the game and calls startMonitoring for the next one.
    scanTimer->stop();
}

QString ProcessGuard::scanForForeignClients() const
{
    for (const platform::ProcessEntry &process : platform::listProcesses()) {
        // 0 and 4 are the idle and system processes on Windows.
        if (process.pid == 0 || process.pid == 4 || process.pid == ourPid)
            continue;
        const QString exe = QString::fromStdString(process.exeName);
        bool ours = false;
        if (classifyModules(process.pid, ours))
            return QStringLiteral("Foreign L2 client (different server): PID=%1 exe=%2")
                .arg(process.pid)
                .arg(exe);
        if (ours && isCloneOfOurClient(process.pid))
            return QStringLiteral("Clone of our L2 client: PID=%1 exe=%2")
                .arg(process.pid)
                .arg(exe);
    }
    return QString();
}

bool ProcessGuard::classifyModules(qint64 pid, bool &ours) const
{
    ours = false;
    int inside = 0;
    int outside = 0;
    for (const platform::ModuleEntry &module : platform::listModules(pid)) {
        if (!gameModuleNames.contains(QString::fromStdString(module.name).toLower()))
            continue;
        const QString path = QString::fromStdString(module.path)
                                 .toLower()
                                 .replace(QLatin1Char('\\'), QLatin1Char('/'));
        // A plain prefix test: "c:/games/l2-other" counts as inside "c:/games/l2".
        if (!gameDirPrefix.isEmpty() && path.startsWith(gameDirPrefix)) {
            ++inside;
        } else if (++outside == 2) {
            return true;
        }
    }
    ours = inside >= 2;
    return false;
}

bool ProcessGuard::isCloneOfOurClient(qint64 pid) const
{
    if (ourExeHash.isEmpty())
        return false;
    const QString path = QString::fromStdString(platform::processImagePath(pid));
    if (path.isEmpty())
        return false;
    const QString digest = fileSha256(path);
    return !digest.isEmpty() && digest == ourExeHash;
}
