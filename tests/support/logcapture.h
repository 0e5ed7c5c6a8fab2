#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>

namespace testsupport {

// Installs itself as the process log's listener for its lifetime and keeps every line; lines can
// also be passed on (as the main window passes them to the auth client).
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
    void clear();

private:
    mutable QMutex mutex;
    QStringList captured;
    std::function<void(const QString &)> forward;
};

} // namespace testsupport
