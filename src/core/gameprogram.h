#pragma once

#include "core/failuretext.h"

#include <QString>

// Where the remote configuration's game program lies. It must stay inside the game folder:
// a configuration that names "../x.sh" or an absolute path would otherwise make PLAY start any
// program on the machine.
struct GameProgram
{
    // "/" separated and cleaned, relative to the game folder; empty when refused.
    QString relativePath;
    // The game folder, a slash and the program as configured: what PLAY starts.
    QString fullPath;
    // Why the program is refused; empty when it may be started.
    FailureText problem;
};

// An empty `executable` is not refused here: starting it fails as a missing file does.
GameProgram locateGameProgram(const QString &gameDirectory, const QString &executable);
