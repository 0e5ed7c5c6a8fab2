#include "files/integritymonitor.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/gamefilecheck.h"

#include <QRandomGenerator>
#include <QTimer>

#include <limits>

IntegrityMonitor::IntegrityMonitor(QObject *parent) : QObject(parent), timer(new QTimer(this))
{
    timer->setObjectName(QStringLiteral("integrityTimer"));
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &IntegrityMonitor::check);
}

void IntegrityMonitor::start(const QList<FileEntry> &files)
{
    Logger &log = Logger::instance();
    const QStringList patterns = LauncherConfig::instance().integrityFiles;
    monitoredFiles.clear();
    floorLogged = false;

    for (const FileEntry &entry : files) {
        for (const QString &pattern : patterns) {
            if (entry.path.endsWith(pattern.trimmed(), Qt::CaseInsensitive)) {
                monitoredFiles.append(entry);
                log.log(Info, QStringLiteral("Integrity monitor: watching %1").arg(entry.path));
                break;
            }
        }
    }

    if (monitoredFiles.isEmpty()) {
        // A monitor armed earlier would otherwise go on checking a list that is now empty.
        stop();
        log.log(Warn, QStringLiteral("Integrity monitoring: no matching files found in manifest — "
                                     "check MonitoredFiles config"));
        return;
    }
    log.log(Info, QStringLiteral("Integrity monitoring started (%1 file(s) watched)")
                      .arg(monitoredFiles.size()));
    scheduleNextCheck();
}

void IntegrityMonitor::stop()
{
    if (!timer->isActive())
        return;
    timer->stop();
    Logger::instance().log(Info, QStringLiteral("Integrity monitoring stopped"));
}

void IntegrityMonitor::scheduleNextCheck()
{
    // Negative bounds count as 0 and reversed bounds are swapped; the delay must fit a timer.
    const LauncherConfig &config = LauncherConfig::instance();
    constexpr qint64 longest = std::numeric_limits<int>::max();
    qint64 lo = qMin(qMax(0, config.integrityCheckMin) * qint64(1000), longest);
    qint64 hi = qMin(qMax(0, config.integrityCheckMax) * qint64(1000), longest);
    if (lo > hi)
        std::swap(lo, hi);
    // Checks hash on the GUI thread: without a floor, zero bounds would run them back to back.
    if (lo < floorMs) {
        if (!floorLogged) {
            Logger::instance().log(
                Warn, QStringLiteral("Integrity check interval below 1 s — using at least 1 s"));
            floorLogged = true;
        }
        lo = floorMs;
        hi = qMax(hi, lo);
    }

    const qint64 delay = lo + QRandomGenerator::global()->bounded(hi - lo + 1);
    timer->start(int(delay));
    Logger::instance().log(Debug,
                           QStringLiteral("Next integrity check in %1 seconds").arg(delay / 1000));
}

void IntegrityMonitor::check()
{
    Logger &log = Logger::instance();
    log.log(Debug, QStringLiteral("Running integrity check..."));
    for (const FileEntry &entry : qAsConst(monitoredFiles)) {
        if (!gameFileMatches(entry, true)) {
            log.log(Error,
                    QStringLiteral("INTEGRITY VIOLATION: %1 has been modified!").arg(entry.path));
            emit violation(entry.path);
            return;
        }
    }
    log.log(Debug, QStringLiteral("Integrity check passed — all monitored files OK"));
    scheduleNextCheck();
}
