#include "core/gamefolder.h"

#include "core/launcherconfig.h"
#include "core/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace gamefolder {

QString perUserDefault()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Veyrun/game");
#endif
}

Choice unnamedDefault(const QString &workingFolder, const QString &gameExecutable,
                      const QString &perUser)
{
    const QString working = QDir::cleanPath(QDir(workingFolder).absolutePath());
    const QString here = QDir::cleanPath(QDir(perUser).absolutePath());
    if (here == working)
        return {working, QStringLiteral("the working folder: neither launcher.ini nor Settings "
                                        "names a folder")};
    if (!gameExecutable.isEmpty() &&
        QFileInfo(working + QLatin1Char('/') + gameExecutable).isFile())
        return {working, QStringLiteral("the working folder holds the game")};
    return {here, QStringLiteral("the per-user default: neither launcher.ini nor Settings names "
                                 "a folder and the working folder holds no game")};
}

void settle(LauncherConfig &config, const QString &workingFolder, bool logUnchanged)
{
    if (!config.gameDirectoryUnnamed)
        return;
    const Choice choice = unnamedDefault(workingFolder, config.gameExecutable);
    if (!logUnchanged &&
        QDir::cleanPath(QDir(config.gameDirectory).absolutePath()) == choice.folder)
        return;
    config.gameDirectory = choice.folder;
    Logger::instance().log(
        Info, QStringLiteral("Game folder: %1 (%2)").arg(choice.folder, choice.reason));
}

} // namespace gamefolder
