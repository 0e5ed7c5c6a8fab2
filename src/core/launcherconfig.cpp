#include "core/launcherconfig.h"

#include "core/inipath.h"

#include "deployment.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonValue>
#include <QSettings>

#include <cmath>
#include <limits>

namespace {

QString toText(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

// A whole number inside the signed 32-bit range; anything else (a string, a fraction, a number
// too large) becomes 0.
int toInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number)
        return 0;
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(number);
}

} // namespace

LauncherConfig &LauncherConfig::instance()
{
    static LauncherConfig config;
    return config;
}

LauncherConfig::LauncherConfig() : authUrl(QString::fromUtf8(deployment::defaultAuthUrl))
{
    signingKeys.loadBuiltIn();
}

void LauncherConfig::load(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    authUrl =
        settings
            .value(QStringLiteral("Server/AuthUrl"), QString::fromUtf8(deployment::defaultAuthUrl))
            .toString();
    gameDirectory = readIniPath(settings, QStringLiteral("Game/GameDir"), QStringLiteral("."));
    gameDirectoryUnnamed = !settings.contains(QStringLiteral("Game/GameDir"));
    const QString authorities =
        readIniPath(settings, QStringLiteral("Security/CaCertificates"), QString());
    caCertificatesFile = authorities.isEmpty()
                             ? QString()
                             : QDir::cleanPath(QFileInfo(path).absoluteDir().absoluteFilePath(
                                   QDir::fromNativeSeparators(authorities)));
    QString keyFile = readIniPath(settings, QStringLiteral("Security/SigningKey"), QString());
    if (!keyFile.isEmpty() && QFileInfo(keyFile).isRelative())
        keyFile = QFileInfo(path).absoluteDir().filePath(keyFile);
    signingKeys.load(QByteArray(deployment::signingKeys), keyFile);
}

void LauncherConfig::applyRemoteConfig(const QJsonObject &object)
{
    auto setText = [&object](const char *key, QString &field) {
        if (object.contains(QLatin1String(key)))
            field = toText(object.value(QLatin1String(key)));
    };
    auto setInt = [&object](const char *key, int &field) {
        if (object.contains(QLatin1String(key)))
            field = toInt32(object.value(QLatin1String(key)));
    };

    setText("manifest_url", manifestUrl);
    setText("files_base_url", filesBaseUrl);
    setText("game_executable", gameExecutable);
    setText("server_ip", serverIp);
    setInt("server_port", serverPort);
    setInt("heartbeat_interval", heartbeatInterval);
    setInt("max_download_threads", maxDownloadThreads);
    if (object.contains(QLatin1String("max_download_threads")))
        maxDownloadThreadsFromServer = true;
    if (object.contains(QLatin1String("integrity_files"))) {
        integrityFiles.clear();
        const QJsonValue files = object.value(QLatin1String("integrity_files"));
        if (files.isArray()) {
            for (const QJsonValue &name : files.toArray())
                integrityFiles.append(toText(name));
        }
    }
    if (object.contains(QLatin1String("files_mirrors"))) {
        filesMirrors.clear();
        const QJsonValue mirrors = object.value(QLatin1String("files_mirrors"));
        if (mirrors.isArray()) {
            for (const QJsonValue &mirror : mirrors.toArray()) {
                if (!toText(mirror).isEmpty())
                    filesMirrors.append(toText(mirror));
            }
        }
    }
    setInt("integrity_check_min", integrityCheckMin);
    setInt("integrity_check_max", integrityCheckMax);
}
