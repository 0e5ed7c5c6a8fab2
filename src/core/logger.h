#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>

#include <functional>

enum LogLevel
{
    Debug,
    Info,
    Warn,
    Error
};

// The process-wide log: one file under the roaming application data folder, rotated once at start,
// flushed after every line, and one listener that sees every finished line.
class Logger
{
public:
    using Listener = std::function<void(const QString &)>;

    static Logger &instance();
    static QString levelName(LogLevel level);
    // Where instance() writes: <parent of AppDataLocation>/Veyrun/launcher.log.
    static QString defaultFilePath();

    // Opens (and, when larger than 5 MiB, first rotates) the given file. instance() uses
    // defaultFilePath(); tests make their own loggers on other paths.
    explicit Logger(const QString &filePath);
    ~Logger();
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    void log(LogLevel level, const QString &message);

    // Replaces the listener under the log's lock, so once this returns no thread is still inside
    // the old listener and none will call it again. An empty callable removes it.
    void setLogListener(Listener listener);

    static constexpr qint64 rotationSize = 5242880;

private:
    QFile file;
    QTextStream stream;
    QMutex mutex;
    Listener logListener;
    qint64 stampSecond = -1;
    QString stamp;
};
