#include "app/updatescript.h"

#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace updatescript {

namespace {
// The folder part and the name part of a path written with either kind of slash.
QString folderOf(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString nameOf(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Single quotes keep every character of a path literal for the shell; a quote inside becomes
// quote, escaped quote, quote.
QString shellQuoted(QString path)
{
    return QLatin1Char('\'') + path.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}
} // namespace

QByteArray batchText(qint64 pid, const QString &exePath, const QString &newExePath)
{
    if (folderOf(exePath) != folderOf(newExePath))
        return QByteArray();
    return QByteArray::fromStdString(platform::batchUpdateScript(pid, nameOf(exePath).toStdString(),
                                                                 nameOf(newExePath).toStdString()));
}

QByteArray shellText(qint64 pid, const QString &exePath, const QString &newExePath,
                     const QString &scriptPath)
{
    static const QString lines[] = {
        QStringLiteral("#!/bin/sh"),
        QStringLiteral("echo 'Updating launcher...'"),
        // A process that has ended but was not yet reaped by its parent (state Z) is gone.
        QStringLiteral("while kill -0 %1 2>/dev/null &&"),
        QStringLiteral("    [ \"$(sed 's/.*) //; s/ .*//' /proc/%1/stat 2>/dev/null)\" != Z ]; do"),
        QStringLiteral("    sleep 1"),
        QStringLiteral("done"),
        QStringLiteral("mv -f %2 %5"),
        // Should the new file not move in, the old launcher goes back rather than leaving none.
        QStringLiteral("mv -f %3 %2 || mv -f %5 %2"),
        QStringLiteral("chmod +x %2"),
        // Started from the old launcher's working folder, so it reads the same config/launcher.ini.
        QStringLiteral("%2 &"),
        QStringLiteral("rm -f %4"),
    };
    QString script;
    for (const QString &line : lines)
        script += line + QLatin1Char('\n');
    return script
        .arg(QString::number(pid), shellQuoted(exePath), shellQuoted(newExePath),
             shellQuoted(scriptPath), shellQuoted(exePath + QLatin1String(".old")))
        .toLocal8Bit();
}

QString pathFor(const QString &exePath)
{
#ifdef Q_OS_WIN
    const QLatin1String name("update.bat");
#else
    const QLatin1String name("update.sh");
#endif
    return QFileInfo(exePath).absolutePath() + QLatin1Char('/') + name;
}

bool launch(qint64 pid, const QString &exePath, const QString &newExePath)
{
    const QString scriptPath = pathFor(exePath);
#ifdef Q_OS_WIN
    const QByteArray text = batchText(pid, exePath, newExePath);
#else
    const QByteArray text = shellText(pid, exePath, newExePath, scriptPath);
#endif
    if (text.isEmpty())
        return false;
    // Written raw: the text carries its own line ends. The script only appears once complete.
    QSaveFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    if (platform::startUpdateScript(scriptPath.toStdString()))
        return true;
    QFile::remove(scriptPath);
    return false;
}

} // namespace updatescript
