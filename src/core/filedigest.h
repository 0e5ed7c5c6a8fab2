#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace platform {
class InputFile;
}

// SHA-256 fed piece by piece, as 64 lower-case hex characters at the end: the platform layer's
// (CNG on Windows, OpenSSL's EVP elsewhere), several times faster than QCryptographicHash.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void add(const char *data, qint64 size);
    // The digest of everything added since the last reset; empty when the library failed.
    QString hexResult();

private:
    struct State;
    std::unique_ptr<State> state;
};

// SHA-256 of a whole file (as large as it was when opened), streamed in 64 KiB blocks, as 64
// lower-case hex characters. Empty when the file cannot be opened or read to its end.
QString fileSha256(const QString &path);

// The same, calling `onBlock` with the byte count of every block read; when it returns false the
// digest stops there and the result is empty. Lets a long digest report progress and be cancelled.
QString fileSha256(const QString &path, const std::function<bool(qint64)> &onBlock);

// The same over a file already open and not yet read: the digest of the bytes it had when it was
// opened, empty when fewer can be read.
QString fileSha256(platform::InputFile &file, const std::function<bool(qint64)> &onBlock);
