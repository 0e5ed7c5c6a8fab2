#pragma once

#include "files/manifest.h"

#include <QString>

// Where the manifest's `relativePath` lies: below the configured game folder.
QString gameFilePath(const QString &relativePath);

// Whether the game file of `entry` is in place as the manifest describes it: its size and, with
// `checkHash`, its SHA-256. The log says why not.
bool gameFileMatches(const FileEntry &entry, bool checkHash);
