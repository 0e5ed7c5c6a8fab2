#pragma once

#include "files/manifest.h"

#include <QList>
#include <QSet>
#include <QString>

#include <atomic>

// The operator's chunk store: a folder of chunks, each named by the SHA-256 of its own bytes in
// a folder named by the digest's first two characters ("ab/abcd…"), zstd-compressed where that
// made it smaller and plain otherwise; a chunk already there is never written again. Beside
// them, index/<file SHA-256> lists the chunks of every file cut before, so a file whose digest
// the digest cache vouches for is not read again. Safe to call from several threads at once.
class ChunkStore
{
public:
    explicit ChunkStore(const QString &folder);

    bool open(QString *error);

    // The chunks of the file at `path`, whose SHA-256 is `sha256`: from the index when the same
    // bytes were cut before, otherwise cut now, every chunk new to the store written into it.
    bool chunksOf(const QString &path, const QString &sha256, QList<FileChunk> &chunks,
                  QString *error);

    // Removes every chunk and index entry that `files` (file digests with their chunk lists)
    // does not use. `removed`: the chunks removed.
    bool prune(const QList<QList<FileChunk>> &lists, const QSet<QString> &files, int *removed,
               QString *error);

    int chunksWritten() const { return written.load(); }
    qint64 bytesWritten() const { return writtenBytes.load(); }

private:
    QString chunkPath(const QByteArray &sha256) const;
    QString indexPath(const QString &sha256) const;
    bool readIndex(const QString &sha256, qint64 fileSize, QList<FileChunk> &chunks) const;
    bool store(const char *data, std::size_t size, FileChunk &chunk, QString *error);

    QString folder;
    std::atomic<int> written{0};
    std::atomic<qint64> writtenBytes{0};
};
