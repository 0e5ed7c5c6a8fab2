#pragma once

#include <QString>

class AutoUpdater;

struct SelfUpdateOutcome
{
    bool updateReady = false;
    QString newExePath;
};

// Shows the update splash while `updater` checks, runs a local event loop until the splash has
// said its last word (1.5 s after "up to date" or a failure, 2 s after a download) and hides it.
SelfUpdateOutcome runUpdateSplash(AutoUpdater &updater);

// The self-update step of start-up: the splash, then, for a downloaded update, the script that
// swaps it in once process `pid` has gone. True when that script runs and this process must exit
// now; false when the launcher goes on with its current version.
bool runSelfUpdate(AutoUpdater &updater, qint64 pid);
