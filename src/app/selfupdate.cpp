#include "app/selfupdate.h"

#include "app/autoupdater.h"
#include "app/updatescript.h"
#include "app/updatesplash.h"
#include "core/logger.h"

#include <QEventLoop>
#include <QTimer>

namespace {
constexpr int finishedCloseMs = 1500;
constexpr int downloadedCloseMs = 2000;
} // namespace

SelfUpdateOutcome runUpdateSplash(AutoUpdater &updater)
{
    QEventLoop loop;
    SelfUpdateOutcome outcome;
    // Destroyed first, which also cuts the connections below that capture this frame.
    UpdateSplash splash;
    splash.show();

    const auto quitAfter = [&loop](int ms) { QTimer::singleShot(ms, &loop, &QEventLoop::quit); };
    // A failed check reads as "up to date": the player has nothing to do about it.
    QObject::connect(&updater, &AutoUpdater::noUpdateAvailable, &splash, [&] {
        splash.showUpToDate();
        quitAfter(finishedCloseMs);
    });
    QObject::connect(&updater, &AutoUpdater::updateError, &splash, [&] {
        splash.showCheckFailed();
        quitAfter(finishedCloseMs);
    });
    QObject::connect(&updater, &AutoUpdater::updateAvailable, &splash,
                     &UpdateSplash::showDownloading);
    QObject::connect(&updater, &AutoUpdater::downloadProgress, &splash,
                     &UpdateSplash::showProgress);
    QObject::connect(&updater, &AutoUpdater::updateDownloaded, &splash, [&](const QString &path) {
        outcome.updateReady = true;
        outcome.newExePath = path;
        splash.showDownloaded();
        quitAfter(downloadedCloseMs);
    });

    updater.checkForUpdates();
    loop.exec();
    splash.hide();
    return outcome;
}

bool runSelfUpdate(AutoUpdater &updater, qint64 pid)
{
    const SelfUpdateOutcome outcome = runUpdateSplash(updater);
    if (!outcome.updateReady)
        return false;

    Logger &log = Logger::instance();
    log.log(Info, QStringLiteral("[AutoUpdater] Applying update and restarting..."));
    if (updatescript::launch(pid, updater.executablePath(), outcome.newExePath))
        return true;
    log.log(Error, QStringLiteral("[AutoUpdater] Failed to launch update script"));
    return false;
}
