// The digest cache file in the user's data folder, which anything on the machine may have written.
#include "files/digestcache.h"

#include <QCryptographicHash>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString folder = QStringLiteral("/games/veyrun");
    QHash<QString, DigestCache::Entry> entries;
    DigestCache::parse(input, folder, entries);

    // The input as a body with a correct closing digest, so the line reader is reached too; what
    // it accepts must come back unchanged through the writer.
    const QByteArray sealed =
        input + "end " + QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex() + "\n";
    if (DigestCache::parse(sealed, folder, entries)) {
        QHash<QString, DigestCache::Entry> again;
        if (!DigestCache::parse(DigestCache::serialize(entries, folder), folder, again) ||
            again.size() != entries.size())
            __builtin_trap();
    }
    return 0;
}
