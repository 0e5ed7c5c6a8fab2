#pragma once

#include <QStringList>

// The names of a game folder that the launcher would refuse or mishandle, one readable line per
// problem: paths it drops as unsafe (absolute, a drive letter, "..", a backslash), two names that
// are one file on Windows (they differ only in case), and a name that is another file's download
// temporary ("x" and "x.tmp"). Empty when every name is fine.
QStringList refusedNames(const QStringList &paths);
