#include "core/usersettings.h"

#include "core/launcherconfig.h"
#include "core/logger.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>

namespace {
const QString gameDirectoryKey = QStringLiteral("Game/GameDir");
const QString downloadsKey = QStringLiteral("Downloads/Parallel");
const QString speedLimitKey = QStringLiteral("Downloads/SpeedLimit");
const QString languageKey = QStringLiteral("Interface/Language");
const QString rememberedAccountKey = QStringLiteral("Login/RememberedAccount");
const QStringList languages{QStringLiteral("system"), QStringLiteral("en"), QStringLiteral("pl")};
} // namespace

QString UserSettings::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/settings.ini");
}

UserSettings::UserSettings(QString file) : file(std::move(file)) {}

QString UserSettings::gameDirectory() const
{
    return QSettings(file, QSettings::IniFormat).value(gameDirectoryKey).toString();
}

int UserSettings::parallelDownloads() const
{
    bool ok = false;
    const int count = QSettings(file, QSettings::IniFormat).value(downloadsKey).toInt(&ok);
    // A hand-edited value out of range counts as no choice rather than as a clamp of it.
    return ok && count >= minDownloads && count <= maxDownloads ? count : 0;
}

int UserSettings::speedLimit() const
{
    bool ok = false;
    const int limit = QSettings(file, QSettings::IniFormat).value(speedLimitKey).toInt(&ok);
    // A hand-edited value that is not a sensible limit counts as none: a download that never
    // moves would be worse.
    return ok && limit > 0 && limit <= maxSpeedLimit ? limit : 0;
}

bool UserSettings::setSpeedLimit(int kibPerSecond)
{
    return store(speedLimitKey, std::clamp(kibPerSecond, 0, maxSpeedLimit));
}

QString UserSettings::language() const
{
    const QString chosen = QSettings(file, QSettings::IniFormat).value(languageKey).toString();
    return languages.contains(chosen) ? chosen : languages.constFirst();
}

bool UserSettings::setLanguage(const QString &language)
{
    return languages.contains(language) && store(languageKey, language);
}

QString UserSettings::rememberedAccount() const
{
    return QSettings(file, QSettings::IniFormat).value(rememberedAccountKey).toString();
}

bool UserSettings::setRememberedAccount(const QString &account)
{
    return store(rememberedAccountKey, account);
}

bool UserSettings::setGameDirectory(const QString &folder)
{
    return store(gameDirectoryKey, QDir::cleanPath(QDir(folder).absolutePath()));
}

bool UserSettings::setParallelDownloads(int count)
{
    return store(downloadsKey, std::clamp(count, minDownloads, maxDownloads));
}

bool UserSettings::store(const QString &key, const QVariant &value)
{
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    Logger::instance().log(Warn, QStringLiteral("Cannot save settings to %1").arg(file));
    return false;
}

void UserSettings::applyTo(LauncherConfig &config) const
{
    const QString chosen = gameDirectory();
    if (!chosen.isEmpty()) {
        config.gameDirectory = chosen;
        config.gameDirectoryUnnamed = false;
    }
    const int downloads = parallelDownloads();
    if (downloads > 0 && !config.maxDownloadThreadsFromServer)
        config.maxDownloadThreads = downloads;
    // A folder nobody named is logged where it is settled.
    if (config.gameDirectoryUnnamed)
        return;
    Logger::instance().log(Info, QStringLiteral("Game folder: %1 (%2)")
                                     .arg(QDir(config.gameDirectory).absolutePath(),
                                          chosen.isEmpty() ? QStringLiteral("from launcher.ini")
                                                           : QStringLiteral("chosen in Settings")));
}
