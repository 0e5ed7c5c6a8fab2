#include "files/diskspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QtEndian>

#include <limits>

qint64 diskSpaceShortfall(const QString &folder, qint64 needed)
{
    QFileInfo existing(QDir::cleanPath(QDir(folder).absolutePath()));
    while (!existing.exists() && !existing.isRoot())
        existing = QFileInfo(existing.absolutePath());
    const QStorageInfo volume(existing.absoluteFilePath());
    if (!volume.isValid() || !volume.isReady())
        return 0;
    const qint64 available = volume.bytesAvailable();
    return available >= 0 && needed > available ? needed - available : 0;
}

namespace {

quint16 u16(const char *at)
{
    return qFromLittleEndian<quint16>(at);
}

quint32 u32(const char *at)
{
    return qFromLittleEndian<quint32>(at);
}

quint64 u64(const char *at)
{
    return qFromLittleEndian<quint64>(at);
}

} // namespace

qint64 zipUnpackedSize(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // The end record lies within the last 64 KiB and 22 bytes (its comment is at most 64 KiB).
    const qint64 tailSize = qMin<qint64>(file.size(), 65535 + 22 + 20);
    if (tailSize < 22 || !file.seek(file.size() - tailSize))
        return -1;
    const QByteArray tail = file.read(tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || end + 22 > tail.size())
        return -1;
    quint64 entries = u16(tail.constData() + end + 10);
    quint64 directorySize = u32(tail.constData() + end + 12);
    quint64 directoryAt = u32(tail.constData() + end + 16);
    // Zip64: a locator right before the end record points at the larger end record.
    if (end >= 20 && tail.mid(end - 20, 4) == QByteArrayLiteral("PK\x06\x07")) {
        const quint64 at = u64(tail.constData() + end - 20 + 8);
        if (!file.seek(qint64(at)))
            return -1;
        const QByteArray record = file.read(56);
        if (record.size() < 56 || !record.startsWith(QByteArrayLiteral("PK\x06\x06")))
            return -1;
        entries = u64(record.constData() + 32);
        directorySize = u64(record.constData() + 40);
        directoryAt = u64(record.constData() + 48);
    }
    if (directorySize > quint64(file.size()) || !file.seek(qint64(directoryAt)))
        return -1;
    const QByteArray directory = file.read(qint64(directorySize));
    if (quint64(directory.size()) != directorySize)
        return -1;

    qint64 total = 0;
    qsizetype at = 0;
    for (quint64 i = 0; i < entries; ++i) {
        if (at + 46 > directory.size() || u32(directory.constData() + at) != 0x02014b50)
            return -1;
        const char *header = directory.constData() + at;
        quint64 size = u32(header + 24);
        const qsizetype nameLength = u16(header + 28);
        const qsizetype extraLength = u16(header + 30);
        const qsizetype commentLength = u16(header + 32);
        if (at + 46 + nameLength + extraLength + commentLength > directory.size())
            return -1;
        if (size == 0xffffffffu) {
            // The real size is the first field of the zip64 extra block.
            const char *extra = header + 46 + nameLength;
            for (qsizetype e = 0; e + 4 <= extraLength;) {
                const quint16 id = u16(extra + e);
                const quint16 length = u16(extra + e + 2);
                if (id == 0x0001 && length >= 8 && e + 4 + 8 <= extraLength) {
                    size = u64(extra + e + 4);
                    break;
                }
                e += 4 + length;
            }
        }
        if (size > quint64(std::numeric_limits<qint64>::max() - total))
            return -1;
        total += qint64(size);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return total;
}
