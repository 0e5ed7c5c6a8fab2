#pragma once

#include <QString>

#include <functional>

// SHA-256 of a whole file, streamed in 64 KiB blocks, as 64 lower-case hex characters.
// Empty when the file cannot be opened or read to its end.
QString fileSha256(const QString &path);

// The same, calling `onBlock` with the byte count of every block read; when it returns false the
// digest stops there and the result is empty. Lets a long digest report progress and be cancelled.
QString fileSha256(const QString &path, const std::function<bool(qint64)> &onBlock);
