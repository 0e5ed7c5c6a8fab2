#pragma once

#include <QStringList>

// The names of a game folder that the launcher would refuse or mishandle, one readable line per
// problem, by the launcher's own rule (FileNameRule): unsafe paths, names that are no file on
// Windows or would forge a log line, two names that are one file on Windows, a name that is
// another file's part or validator while it downloads. Empty when every name is fine.
QStringList refusedNames(const QStringList &paths);
