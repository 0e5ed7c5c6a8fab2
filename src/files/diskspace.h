#pragma once

#include <QString>

// What a folder's volume lacks for `needed` more bytes: 0 when it has room, or when its free space
// cannot be told (the player may still go on). A folder that does not exist yet is looked at
// through the nearest one above it that does.
qint64 diskSpaceShortfall(const QString &folder, qint64 needed);

// The bytes the files of the zip archive at `path` take once unpacked, from its central
// directory (zip64 included); -1 when it is no zip that can be read so.
qint64 zipUnpackedSize(const QString &path);
