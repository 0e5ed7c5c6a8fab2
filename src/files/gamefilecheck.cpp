#include "files/gamefilecheck.h"

#include "core/filedigest.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "platform/platform.h"

#include <QFile>

namespace {
QString calculateFileHash(const QString &fullPath)
{
    QFile file(fullPath);
    if (!file.open(QIODevice::ReadOnly)) {
        Logger::instance().log(Warn, QStringLiteral("Cannot open file for hash: %1").arg(fullPath));
        return QString();
    }
    file.close();
    const QString digest = fileSha256(fullPath);
    if (digest.isEmpty())
        Logger::instance().log(Warn,
                               QStringLiteral("Failed to calculate hash for: %1").arg(fullPath));
    return digest;
}
} // namespace

QString gameFilePath(const QString &relativePath)
{
    return LauncherConfig::instance().gameDirectory + QLatin1Char('/') + relativePath;
}

bool gameFileMatches(const FileEntry &entry, bool checkHash)
{
    const QString fullPath = gameFilePath(entry.path);
    // One stat straight from the platform: QFileInfo costs more than the stat itself.
    const auto stamp = platform::fileStamp(fullPath.toUtf8().toStdString());
    if (!stamp)
        return false;
    if (stamp->size != entry.size) {
        Logger::instance().log(
            Debug, QStringLiteral("Size mismatch for %1: expected %2, got %3")
                       .arg(entry.path, QString::number(entry.size), QString::number(stamp->size)));
        return false;
    }
    if (!checkHash)
        return true;
    const QString digest = calculateFileHash(fullPath);
    if (!digest.isEmpty() && digest == entry.sha256)
        return true;
    Logger::instance().log(Debug, QStringLiteral("Hash mismatch for %1").arg(entry.path));
    return false;
}
