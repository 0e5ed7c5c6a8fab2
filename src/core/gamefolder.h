#pragma once

#include <QString>

class LauncherConfig;

// The game folder when neither launcher.ini nor Settings names one. On Linux a launcher started
// from the desktop has the home folder as working folder, so "." would unpack the client into
// home: the per-user data folder takes its place, unless the working folder already holds this
// server's game. On Windows players unpack the launcher into the game folder, so "." stays.
namespace gamefolder {

// <user data folder>/Veyrun/game on Linux; "." on Windows.
QString perUserDefault();

struct Choice
{
    QString folder;
    QString reason;
};

// `gameExecutable` is the remote configuration's path of the game below its folder; empty while
// it is not known, and then the working folder cannot be recognised as the game's.
Choice unnamedDefault(const QString &workingFolder, const QString &gameExecutable,
                      const QString &perUser = perUserDefault());

// Applies unnamedDefault to a configuration whose game folder nobody named, logging the folder
// and why when it changes (at start-up, with `logUnchanged`, also when it does not). A named
// folder is left alone. Called at start-up and again when the files are checked, when the game's
// executable is known.
void settle(LauncherConfig &config, const QString &workingFolder, bool logUnchanged = false);

} // namespace gamefolder
