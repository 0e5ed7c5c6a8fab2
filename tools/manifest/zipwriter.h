#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>

struct archive;

// Writes a zip archive through libarchive: the base client of wardgate-manifest and of the dev
// server, and the archives of the tests, including hostile ones (names with "..", absolute
// names, links), which it writes as given. The archive appears under its name only when close()
// succeeds; until then it is a temporary file, removed if the writer is dropped. Entries and
// archives beyond 4 GiB are written as ZIP64.
class ZipWriter
{
public:
    enum Compression
    {
        Store,
        Deflate
    };

    explicit ZipWriter(const QString &path, Compression compression = Store);
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    bool open();
    bool addFile(const QString &name, const QByteArray &content, int permissions = 0644);
    // Streams a file from disk into the archive with its permission bits (executables stay
    // executable) and its modification time.
    bool addFileFrom(const QString &name, const QString &sourcePath);
    bool addSymlink(const QString &name, const QString &target);
    bool close();

    QString errorString() const { return error; }

private:
    bool writeEntry(const QString &name, unsigned int type, int permissions, qint64 size,
                    qint64 modified, const QString &linkTarget);
    bool fail(const QString &text);
    bool archiveFailed(const QString &what);

    QSaveFile file;
    Compression compression;
    struct archive *writer = nullptr;
    QString error;
};
