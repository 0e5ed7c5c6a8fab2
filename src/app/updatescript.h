#pragma once

#include <QByteArray>
#include <QString>

// The script that swaps a downloaded launcher in once this process has gone: it waits while the
// process `pid` exists, moves `exePath` aside to "<exePath>.old", moves `newExePath` into its
// place, starts it and deletes itself. It lies beside the executable.
namespace updatescript {

// Windows batch text for cmd.exe, ASCII with CR LF line ends: both files are named relative to
// the script's own folder, which must be theirs. Empty when the files lie in different folders
// or a file name is not printable ASCII.
QByteArray batchText(qint64 pid, const QString &exePath, const QString &newExePath);

// POSIX shell text for /bin/sh; the new launcher starts in the script's working folder, which is
// the old launcher's, so it reads the same config/launcher.ini.
QByteArray shellText(qint64 pid, const QString &exePath, const QString &newExePath,
                     const QString &scriptPath);

// "update.bat" on Windows, "update.sh" elsewhere, next to the executable.
QString pathFor(const QString &exePath);

// Writes this platform's script next to `exePath` and starts it detached. False when the script
// cannot be written (on Windows also when a file name is not printable ASCII) or its interpreter
// cannot be started; the running launcher then stays as it is.
bool launch(qint64 pid, const QString &exePath, const QString &newExePath);

} // namespace updatescript
