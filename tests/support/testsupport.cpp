#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

QString helperPath(const QString &name)
{
    return QStringLiteral(WARDGATE_HELPER_DIR) + QLatin1Char('/') + name;
}

QString launcherPath()
{
    return QStringLiteral(WARDGATE_LAUNCHER_PATH);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace testsupport
