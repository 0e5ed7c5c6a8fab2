#include "core/logger.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

Logger &Logger::instance()
{
    static Logger logger(defaultFilePath());
    return logger;
}

QString Logger::levelName(LogLevel level)
{
    switch (level) {
    case Debug:
        return QStringLiteral("DEBUG");
    case Info:
        return QStringLiteral("INFO");
    case Warn:
        return QStringLiteral("WARN");
    case Error:
        return QStringLiteral("ERROR");
    }
    return QStringLiteral("UNKNOWN");
}

QString Logger::defaultFilePath()
{
    QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (appData.isEmpty())
        appData = QStringLiteral(".");
    return QFileInfo(appData).absolutePath() + QStringLiteral("/Veyrun/launcher.log");
}

Logger::Logger(const QString &filePath) : file(filePath)
{
    QDir().mkpath(QFileInfo(filePath).absolutePath());

    // Rotation happens once per process, here; exactly one old generation is kept.
    QFileInfo info(filePath);
    if (info.exists() && info.size() > rotationSize) {
        const QString oldPath = filePath + QStringLiteral(".old");
        QFile::remove(oldPath);
        QFile::rename(filePath, oldPath);
    }

    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        stream.setDevice(&file);
}

Logger::~Logger()
{
    if (file.isOpen())
        file.close();
}

void Logger::log(LogLevel level, const QString &message)
{
    QMutexLocker locker(&mutex);

    // The local time is worked out once a second: a download logs thousands of lines in one.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != stampSecond) {
        stampSecond = now;
        stamp = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    // Filled one placeholder after another, so "%1" inside the message stays as typed.
    const QString line =
        QStringLiteral("[%1] [%2] %3").arg(stamp).arg(levelName(level)).arg(message);

    if (file.isOpen()) {
        stream << line << '\n';
        stream.flush();
    }
    if (logListener)
        logListener(line);
}

void Logger::setLogListener(Listener listener)
{
    QMutexLocker locker(&mutex);
    logListener = std::move(listener);
}
