#include "core/configlocation.h"

#include <QFileInfo>

namespace configlocation {

QStringList candidates(const QString &executableDir, const QString &userConfigDir)
{
    return {QString::fromLatin1(relativePath),
            executableDir + QLatin1Char('/') + QString::fromLatin1(relativePath),
            userConfigDir + QStringLiteral("/Veyrun/launcher.ini")};
}

QString find(const QStringList &candidates)
{
    for (const QString &path : candidates) {
        const QFileInfo info(path);
        if (info.isFile() && info.isReadable())
            return path;
    }
    return {};
}

} // namespace configlocation
