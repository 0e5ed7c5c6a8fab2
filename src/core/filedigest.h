#pragma once

#include <QString>

#include <functional>

namespace platform {
class InputFile;
}

// SHA-256 of a whole file (as large as it was when opened), streamed in 64 KiB blocks, as 64
// lower-case hex characters. Empty when the file cannot be opened or read to its end.
QString fileSha256(const QString &path);

// The same, calling `onBlock` with the byte count of every block read; when it returns false the
// digest stops there and the result is empty. Lets a long digest report progress and be cancelled.
QString fileSha256(const QString &path, const std::function<bool(qint64)> &onBlock);

// The same over a file already open and not yet read: the digest of the bytes it had when it was
// opened, empty when fewer can be read.
QString fileSha256(platform::InputFile &file, const std::function<bool(qint64)> &onBlock);
