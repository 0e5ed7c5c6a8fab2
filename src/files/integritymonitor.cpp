// FileManager: the integrity monitor. While the game runs, the files that match the configured
// name patterns are re-hashed at random intervals; the first one that no longer matches the
// manifest is reported and monitoring ends.

#include "files/filemanager.h"

#include "core/launcherconfig.h"
#include "core/logger.h"

#include <QRandomGenerator>
#include <QTimer>

#include <limits>

void FileManager::startIntegrityMonitor()
{
    Logger &log = Logger::instance();
    const QStringList patterns = LauncherConfig::instance().integrityFiles;
    monitoredFiles.clear();
    integrityFloorLogged = false;

    for (const FileEntry &entry : qAsConst(manifest.files)) {
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
        stopIntegrityMonitor();
        log.log(Warn, QStringLiteral("Integrity monitoring: no matching files found in manifest — "
                                     "check MonitoredFiles config"));
        return;
    }
    log.log(Info, QStringLiteral("Integrity monitoring started (%1 file(s) watched)")
                      .arg(monitoredFiles.size()));
    scheduleNextIntegrityCheck();
}

void FileManager::stopIntegrityMonitor()
{
    if (!integrityTimer->isActive())
        return;
    integrityTimer->stop();
    Logger::instance().log(Info, QStringLiteral("Integrity monitoring stopped"));
}

void FileManager::scheduleNextIntegrityCheck()
{
    // Negative bounds count as 0 and reversed bounds are swapped; the delay must fit a timer.
    const LauncherConfig &config = LauncherConfig::instance();
    constexpr qint64 longest = std::numeric_limits<int>::max();
    qint64 lo = qMin(qMax(0, config.integrityCheckMin) * qint64(1000), longest);
    qint64 hi = qMin(qMax(0, config.integrityCheckMax) * qint64(1000), longest);
    if (lo > hi)
        std::swap(lo, hi);
    // Checks hash on the GUI thread: without a floor, zero bounds would run them back to back.
    if (lo < integrityFloorMs) {
        if (!integrityFloorLogged) {
            Logger::instance().log(
                Warn, QStringLiteral("Integrity check interval below 1 s — using at least 1 s"));
            integrityFloorLogged = true;
        }
        lo = integrityFloorMs;
        hi = qMax(hi, lo);
    }

    const qint64 delay = lo + QRandomGenerator::global()->bounded(hi - lo + 1);
    integrityTimer->start(int(delay));
    Logger::instance().log(Debug,
                           QStringLiteral("Next integrity check in %1 seconds").arg(delay / 1000));
}

void FileManager::onIntegrityCheck()
{
    Logger &log = Logger::instance();
    log.log(Debug, QStringLiteral("Running integrity check..."));
    for (const FileEntry &entry : qAsConst(monitoredFiles)) {
        if (!verifyFile(entry, true)) {
            log.log(Error,
                    QStringLiteral("INTEGRITY VIOLATION: %1 has been modified!").arg(entry.path));
            suspectFiles.insert(entry.path);
            emit integrityViolation(entry.path);
            return;
        }
    }
    log.log(Debug, QStringLiteral("Integrity check passed — all monitored files OK"));
    scheduleNextIntegrityCheck();
}
