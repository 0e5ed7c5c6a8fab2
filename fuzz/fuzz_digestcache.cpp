// The digest cache file in the user's data folder, which anything on the machine may have written.
#include "files/digestcache.h"

#include <QCryptographicHash>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    DigestCache cache(QString(), QStringLiteral("/games/veyrun"));
    cache.read(input);

    // The input as a body with a correct closing digest, so the record reader is reached too;
    // what it accepts must come back unchanged through the writer.
    const QByteArray sealed =
        input + QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex();
    if (cache.read(sealed)) {
        DigestCache again(QString(), QStringLiteral("/games/veyrun"));
        if (!again.read(cache.bytes()) || again.size() != cache.size())
            __builtin_trap();
    }
    return 0;
}
