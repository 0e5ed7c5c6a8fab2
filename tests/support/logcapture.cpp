#include "support/logcapture.h"

#include "core/logger.h"

#include <QMutexLocker>

namespace testsupport {

LogCapture::LogCapture(std::function<void(const QString &)> forward) : forward(std::move(forward))
{
    clock.start();
    Logger::instance().setLogListener([this](const QString &line) {
        {
            QMutexLocker locker(&mutex);
            captured.append(line);
            arrivals.append(clock.elapsed());
        }
        if (this->forward)
            this->forward(line);
    });
}

LogCapture::~LogCapture()
{
    Logger::instance().setLogListener({});
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    return captured;
}

bool LogCapture::has(const QString &level, const QString &message) const
{
    return count(level, message) > 0;
}

int LogCapture::count(const QString &level, const QString &message) const
{
    const QString ending = QStringLiteral("] [%1] %2").arg(level, message);
    int found = 0;
    for (const QString &line : lines())
        found += line.endsWith(ending) ? 1 : 0;
    return found;
}

QStringList LogCapture::messages(const QString &level) const
{
    const QString marker = QStringLiteral("] [%1] ").arg(level);
    QStringList found;
    for (const QString &line : lines()) {
        const qsizetype at = line.indexOf(marker);
        if (at >= 0)
            found << line.mid(at + marker.size());
    }
    return found;
}

QStringList LogCapture::matching(const QString &text) const
{
    QMutexLocker locker(&mutex);
    return captured.filter(text);
}

qint64 LogCapture::arrivalOf(const QString &text) const
{
    QMutexLocker locker(&mutex);
    for (int i = 0; i < captured.size(); ++i) {
        if (captured.at(i).contains(text))
            return arrivals.at(i);
    }
    return -1;
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
    arrivals.clear();
}

} // namespace testsupport
