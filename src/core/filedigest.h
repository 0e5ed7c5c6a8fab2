#pragma once

#include <QString>

// SHA-256 of a whole file, streamed in 64 KiB blocks, as 64 lower-case hex characters.
// Empty when the file cannot be opened or read to its end.
QString fileSha256(const QString &path);
