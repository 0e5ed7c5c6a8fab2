#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>

namespace testsupport {

// Installs itself as the process log's listener for its lifetime and keeps every line, from any
// thread, with the time it arrived; lines can also be passed on (as the main window passes them
// to the auth client).
class LogCapture
{
public:
    explicit LogCapture(std::function<void(const QString &)> forward = {});
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // Lines that end with "] [LEVEL] message", for exact matches regardless of the time stamp.
    bool has(const QString &level, const QString &message) const;
    int count(const QString &level, const QString &message) const;
    // The messages of the lines at this level, in order.
    QStringList messages(const QString &level) const;
    // Lines containing `text` anywhere.
    QStringList matching(const QString &text) const;
    int count(const QString &text) const { return int(matching(text).size()); }
    bool contains(const QString &text) const { return count(text) > 0; }
    // Milliseconds since the capture began at which the first line containing `text` arrived;
    // -1 when none did.
    qint64 arrivalOf(const QString &text) const;
    void clear();

private:
    mutable QMutex mutex;
    QElapsedTimer clock;
    QStringList captured;
    QList<qint64> arrivals;
    std::function<void(const QString &)> forward;
};

} // namespace testsupport
