#include "app/updatescript.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStringList>

namespace updatescript {

namespace {
QString backslashed(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// Single quotes keep every character of a path literal for the shell; a quote inside becomes
// quote, escaped quote, quote.
QString shellQuoted(QString path)
{
    return QLatin1Char('\'') + path.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}
} // namespace

QByteArray batchText(qint64 pid, const QString &exePath, const QString &newExePath,
                     const QString &scriptPath)
{
    static const QString lines[] = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Updating launcher..."),
        QStringLiteral(":wait"),
        QStringLiteral("tasklist /FI \"PID eq %1\" 2>NUL | find \"%1\" >NUL"),
        QStringLiteral("if not errorlevel 1 ("),
        QStringLiteral("    timeout /t 1 /nobreak >NUL"),
        QStringLiteral("    goto wait"),
        QStringLiteral(")"),
        QStringLiteral("move /Y \"%2\" \"%2.old\" >NUL"),
        QStringLiteral("move /Y \"%3\" \"%2\" >NUL"),
        QStringLiteral("start \"\" \"%2\""),
        QStringLiteral("del \"%4\""),
    };
    QString script;
    for (const QString &line : lines)
        script += line + QLatin1String("\r\n");
    // One pass over the template, so a path that itself contains "%1" is left alone.
    return script
        .arg(QString::number(pid), backslashed(exePath), backslashed(newExePath),
             backslashed(scriptPath))
        .toLocal8Bit();
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
    const QByteArray text = batchText(pid, exePath, newExePath, scriptPath);
    const QString program = QStringLiteral("cmd.exe");
    const QStringList arguments{QStringLiteral("/c"), backslashed(scriptPath)};
#else
    const QByteArray text = shellText(pid, exePath, newExePath, scriptPath);
    const QString program = QStringLiteral("/bin/sh");
    const QStringList arguments{scriptPath};
#endif
    // Written raw: the text carries its own line ends. The script only appears once complete.
    QSaveFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    if (QProcess::startDetached(program, arguments))
        return true;
    QFile::remove(scriptPath);
    return false;
}

} // namespace updatescript
