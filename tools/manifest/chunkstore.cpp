#include "chunkstore.h"

#include "core/chunkcodec.h"
#include "core/contentchunker.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

QByteArray sha256Of(const char *data, std::size_t size)
{
    platform::Sha256 digest;
    digest.add(data, size);
    return QByteArray::fromStdString(digest.hexResult());
}

bool isHex(const QString &name)
{
    return name.size() == 64 && std::all_of(name.begin(), name.end(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

} // namespace

ChunkStore::ChunkStore(const QString &folder) : folder(QDir(folder).absolutePath()) {}

bool ChunkStore::open(QString *error)
{
    if (QDir().mkpath(folder + QStringLiteral("/index")))
        return true;
    *error = QStringLiteral("cannot make the chunk store %1").arg(folder);
    return false;
}

QString ChunkStore::chunkPath(const QByteArray &sha256) const
{
    return folder + QLatin1Char('/') + QLatin1String(sha256.left(2)) + QLatin1Char('/') +
           QLatin1String(sha256);
}

QString ChunkStore::indexPath(const QString &sha256) const
{
    return folder + QStringLiteral("/index/") + sha256;
}

// An index entry counts only when every chunk it names is still in the store as listed.
bool ChunkStore::readIndex(const QString &sha256, qint64 fileSize, QList<FileChunk> &chunks) const
{
    QFile file(indexPath(sha256));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    qint64 total = 0;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 3)
            return false;
        FileChunk chunk{fields[0], fields[1].toLongLong(), fields[2].toLongLong()};
        if (chunk.sha256.size() != 64 || chunk.size <= 0 || chunk.stored <= 0 ||
            QFileInfo(chunkPath(chunk.sha256)).size() != chunk.stored)
            return false;
        total += chunk.size;
        chunks.append(chunk);
    }
    return total == fileSize;
}

bool ChunkStore::store(const char *data, std::size_t size, FileChunk &chunk, QString *error)
{
    chunk.sha256 = sha256Of(data, size);
    chunk.size = qint64(size);
    const QString path = chunkPath(chunk.sha256);
    const QFileInfo existing(path);
    if (existing.exists()) {
        chunk.stored = existing.size();
        if (chunk.stored > 0 && chunk.stored <= chunk.size)
            return true;
        *error = QStringLiteral("%1 is damaged (%2 bytes for a chunk of %3); remove it")
                     .arg(path)
                     .arg(chunk.stored)
                     .arg(chunk.size);
        return false;
    }
    const QByteArray packed = chunkcodec::compress(data, size);
    const char *bytes = packed.isEmpty() ? data : packed.constData();
    chunk.stored = packed.isEmpty() ? qint64(size) : packed.size();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Appears whole or not at all; two threads cutting the same new chunk write the same bytes.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes, chunk.stored) != chunk.stored ||
        !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    ++written;
    writtenBytes += chunk.stored;
    return true;
}

bool ChunkStore::chunksOf(const QString &path, const QString &sha256, QList<FileChunk> &chunks,
                          QString *error)
{
    chunks.clear();
    const qint64 size = QFileInfo(path).size();
    if (size == 0 || readIndex(sha256, size, chunks))
        return true;
    chunks.clear();
    QString problem;
    const bool cut = ContentChunker::cutFile(
        path,
        [&](qint64, const char *data, std::size_t length) {
            FileChunk chunk;
            if (!store(data, length, chunk, &problem))
                return false;
            chunks.append(chunk);
            return true;
        },
        &problem);
    if (!cut) {
        *error = problem;
        return false;
    }
    QByteArray index;
    for (const FileChunk &chunk : qAsConst(chunks))
        index += chunk.sha256 + ' ' + QByteArray::number(chunk.size) + ' ' +
                 QByteArray::number(chunk.stored) + '\n';
    QSaveFile file(indexPath(sha256));
    if (!file.open(QIODevice::WriteOnly) || file.write(index) != index.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(indexPath(sha256), file.errorString());
        return false;
    }
    return true;
}

bool ChunkStore::prune(const QList<QList<FileChunk>> &lists, const QSet<QString> &files,
                       int *removed, QString *error)
{
    QSet<QString> used;
    for (const QList<FileChunk> &list : lists) {
        for (const FileChunk &chunk : list)
            used.insert(QString::fromLatin1(chunk.sha256));
    }
    *removed = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = it.fileName();
        const bool index = it.fileInfo().absolutePath() == folder + QStringLiteral("/index");
        // Only names this store gives: anything else in the folder is left alone.
        if (!isHex(name) || (index ? files.contains(name) : used.contains(name)))
            continue;
        if (!QFile::remove(path)) {
            *error = QStringLiteral("cannot remove %1").arg(path);
            return false;
        }
        *removed += index ? 0 : 1;
    }
    return true;
}
