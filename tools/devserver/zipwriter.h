#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Writes a zip archive of stored (uncompressed) entries: the dev server's base client and the
// archives of the tests, including hostile ones (names with "..", absolute names, links). No
// ZIP64: an entry or the archive must stay below 4 GiB.
class ZipWriter
{
public:
    explicit ZipWriter(const QString &path);

    bool open();
    bool addFile(const QString &name, const QByteArray &content);
    // Streams a file from disk into the archive.
    bool addFileFrom(const QString &name, const QString &sourcePath);
    bool addSymlink(const QString &name, const QString &target);
    // Writes the central directory; the archive is complete only when this returns true.
    bool close();

    QString errorString() const { return error; }

private:
    struct Entry
    {
        QByteArray name;
        quint32 crc = 0;
        quint32 size = 0;
        quint32 offset = 0;
        quint32 unixMode = 0;
    };

    bool writeLocalHeader(Entry &entry);
    bool fail(const QString &text);

    QFile file;
    QList<Entry> entries;
    QString error;
};

// CRC-32 (IEEE) of `data`, continued from `crc`.
quint32 zipCrc32(const QByteArray &data, quint32 crc = 0);
