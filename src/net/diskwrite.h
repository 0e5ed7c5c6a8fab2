#pragma once

#include "core/failuretext.h"

#include <QString>
#include <QtGlobal>

class QFile;

// Writes all `length` bytes at the file's position. Qt reports the write that runs out of room as
// a short count without an error; the rest is written again, so that a full disk says so
// (ranOutOfSpace) instead of leaving an "Unknown error" behind.
bool writeFully(QFile &file, const char *data, qint64 length);
// Whether the file's last write failed for lack of room on its disk.
bool ranOutOfSpace(const QFile &file);
// "Not enough disk space in <folder>: <needed> more needed", the size as the window shows sizes.
FailureText notEnoughSpace(const QString &folder, qint64 needed);
