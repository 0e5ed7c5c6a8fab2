#include "zipwriter.h"

#include <QtEndian>

#include <array>

namespace {

constexpr quint32 regularFileMode = 0100644;
constexpr quint32 symlinkMode = 0120777;
constexpr quint32 maxStoredSize = 0xFFFFFFFFu;

const std::array<quint32, 256> &crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

// Version 1.0 (stored), UTF-8 names, time 00:00 on 1980-01-01.
void putCommonFields(QByteArray &out, quint32 crc, quint32 size, int nameLength)
{
    put16(out, 10);     // version needed to extract
    put16(out, 0x0800); // flags: names are UTF-8
    put16(out, 0);      // method: stored
    put16(out, 0);      // time
    put16(out, 0x0021); // date
    put32(out, crc);
    put32(out, size); // compressed
    put32(out, size); // uncompressed
    put16(out, quint16(nameLength));
}

} // namespace

quint32 zipCrc32(const QByteArray &data, quint32 crc)
{
    const auto &table = crcTable();
    crc = ~crc;
    for (const char byte : data)
        crc = table[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

ZipWriter::ZipWriter(const QString &path) : file(path) {}

bool ZipWriter::open()
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(file.errorString());
    return true;
}

bool ZipWriter::fail(const QString &text)
{
    error = QStringLiteral("%1: %2").arg(file.fileName(), text);
    return false;
}

bool ZipWriter::writeLocalHeader(Entry &entry)
{
    if (file.pos() > qint64(maxStoredSize))
        return fail(QStringLiteral("archive too large"));
    entry.offset = quint32(file.pos());
    QByteArray header;
    put32(header, 0x04034b50);
    putCommonFields(header, entry.crc, entry.size, entry.name.size());
    put16(header, 0); // extra field length
    header.append(entry.name);
    if (file.write(header) != header.size())
        return fail(file.errorString());
    return true;
}

bool ZipWriter::addFile(const QString &name, const QByteArray &content)
{
    Entry entry{name.toUtf8(), zipCrc32(content), quint32(content.size()), 0, regularFileMode};
    if (!writeLocalHeader(entry))
        return false;
    if (file.write(content) != content.size())
        return fail(file.errorString());
    entries.append(entry);
    return true;
}

bool ZipWriter::addFileFrom(const QString &name, const QString &sourcePath)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(sourcePath));
    if (source.size() > qint64(maxStoredSize))
        return fail(QStringLiteral("%1 is too large").arg(sourcePath));

    // The local header carries the CRC, so read the file once for it and once to copy it.
    constexpr qint64 blockSize = 1 << 20;
    quint32 crc = 0;
    while (!source.atEnd())
        crc = zipCrc32(source.read(blockSize), crc);
    Entry entry{name.toUtf8(), crc, quint32(source.size()), 0, regularFileMode};
    if (!writeLocalHeader(entry) || !source.seek(0))
        return false;
    while (!source.atEnd()) {
        const QByteArray block = source.read(blockSize);
        if (file.write(block) != block.size())
            return fail(file.errorString());
    }
    entries.append(entry);
    return true;
}

bool ZipWriter::addSymlink(const QString &name, const QString &target)
{
    if (!addFile(name, target.toUtf8()))
        return false;
    entries.last().unixMode = symlinkMode;
    return true;
}

bool ZipWriter::close()
{
    const qint64 directoryStart = file.pos();
    QByteArray directory;
    for (const Entry &entry : qAsConst(entries)) {
        put32(directory, 0x02014b50);
        put16(directory, (3 << 8) | 20); // made by: Unix, so the mode below counts
        putCommonFields(directory, entry.crc, entry.size, entry.name.size());
        put16(directory, 0); // extra field length
        put16(directory, 0); // comment length
        put16(directory, 0); // disk number
        put16(directory, 0); // internal attributes
        put32(directory, entry.unixMode << 16);
        put32(directory, entry.offset);
        directory.append(entry.name);
    }
    QByteArray end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, quint16(entries.size()));
    put16(end, quint16(entries.size()));
    put32(end, quint32(directory.size()));
    put32(end, quint32(directoryStart));
    put16(end, 0); // comment length
    const bool written = file.write(directory) == directory.size() && file.write(end) == end.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    return true;
}
