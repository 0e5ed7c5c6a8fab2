// The game files' manifest as the server sends it.
#include "files/manifest.h"

#include <QDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parser logs every bad entry: below /dev/null the log file cannot be created, so the
    // lines go nowhere instead of into the user's folders.
    setenv("XDG_DATA_HOME", "/dev/null/fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Manifest manifest;
    if (!manifest.parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))))
        return 0;
    for (const FileEntry &entry : manifest.files) {
        // What the parser lets through is a file strictly inside the game folder, of a real size.
        if (!isSafeRelativePath(entry.path) || entry.sha256.size() != 64 || entry.size < 0)
            __builtin_trap();
        // No empty or "." piece, no character Windows refuses.
        if (entry.path.endsWith(QLatin1Char('/')) || entry.path.contains(QLatin1String("//")) ||
            entry.path.startsWith(QLatin1String("./")) ||
            entry.path.contains(QLatin1String("/./")) || entry.sha256 != entry.sha256.toLower())
            __builtin_trap();
        for (const QChar c : entry.path) {
            if (QStringView(u"<>:\"|?*").contains(c))
                __builtin_trap();
        }
        const QString inside = QDir::cleanPath(QStringLiteral("/game/") + entry.path);
        if (!inside.startsWith(QLatin1String("/game/")))
            __builtin_trap();
    }
    return 0;
}
