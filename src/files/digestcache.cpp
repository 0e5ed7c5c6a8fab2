#include "files/digestcache.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>

// The file, little-endian binary:
//   "wardgate-digests 4\n"
//   <folder or scope: u32 length, UTF-8>
//   <number of entries: u32>
//   per entry: <size: i64> <modified: i64> <device: u64> <inode: u64> <SHA-256: 32 bytes>
//              <path: u16 length, UTF-8>
//   <SHA-256 of every byte before it, 64 hex digits>
// The closing digest makes any damage (a torn write, a flipped bit, a hand edit) reject the whole
// file, so a damaged cache can never answer for a file with a digest it was not given.

namespace {

const QByteArray magic = QByteArrayLiteral("wardgate-digests 4\n");
constexpr qsizetype trailerSize = 64;
constexpr qsizetype digestSize = 32;
// size, modified, device, inode, digest, path length
constexpr qsizetype recordHead = 4 * 8 + digestSize + 2;
constexpr qsizetype digestAt = 4 * 8;

template <typename T> T readAt(const char *at)
{
    return qFromLittleEndian<T>(at);
}

template <typename T> char *writeAt(char *at, T value)
{
    qToLittleEndian(value, at);
    return at + sizeof(T);
}

QByteArrayView pathOf(const char *record)
{
    return QByteArrayView(record + recordHead, readAt<quint16>(record + recordHead - 2));
}

qsizetype recordSize(const char *record)
{
    return recordHead + readAt<quint16>(record + recordHead - 2);
}

QByteArray sha256Hex(QByteArrayView data)
{
    platform::Sha256 hash;
    hash.add(data.data(), size_t(data.size()));
    return QByteArray::fromStdString(hash.hexResult());
}

QString normalFolder(const QString &folder)
{
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

} // namespace

DigestCache::Entry DigestCache::Entry::of(const platform::FileStamp &stamp, const QString &sha256)
{
    return {stamp.size, stamp.modifiedNs, stamp.device, stamp.inode, sha256};
}

DigestCache::DigestCache(QString file, QString folder, const QString &scope)
    : cacheFile(std::move(file)), folderKey(scope.isEmpty() ? normalFolder(folder) : scope)
{}

QString DigestCache::defaultFile(const QString &folder)
{
    const QByteArray key =
        QCryptographicHash::hash(normalFolder(folder).toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/digests/") + QString::fromLatin1(key) + QStringLiteral(".cache");
}

bool DigestCache::load()
{
    QFile file(cacheFile);
    if (!file.open(QIODevice::ReadOnly)) {
        read(QByteArray());
        return false;
    }
    return read(file.readAll());
}

bool DigestCache::save(const QStringList &order) const
{
    if (!QDir().mkpath(QFileInfo(cacheFile).absolutePath()))
        return false;
    QSaveFile file(cacheFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray data = bytes(order);
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString DigestCache::find(qsizetype position, QByteArrayView relativePath, const Entry &stamp,
                          const QString &expected) const
{
    const char *record = nullptr;
    if (position >= 0 && size_t(position) < inFileOrder.size() &&
        pathOf(inFileOrder[size_t(position)]) == relativePath) {
        record = inFileOrder[size_t(position)];
    } else {
        strayLookups.store(true, std::memory_order_relaxed);
        record = byPath().value(relativePath);
    }
    if (!record || readAt<qint64>(record) != stamp.size ||
        readAt<qint64>(record + 8) != stamp.modified ||
        readAt<quint64>(record + 16) != stamp.device || readAt<quint64>(record + 24) != stamp.inode)
        return QString();
    static const char hexDigits[] = "0123456789abcdef";
    if (expected.size() == 2 * digestSize) {
        const QChar *digit = expected.constData();
        bool same = true;
        for (qsizetype i = 0; i < digestSize && same; ++i, digit += 2) {
            const uchar byte = uchar(record[digestAt + i]);
            same = digit[0] == QLatin1Char(hexDigits[byte >> 4]) &&
                   digit[1] == QLatin1Char(hexDigits[byte & 0xf]);
        }
        if (same)
            return expected;
    }
    QString hex(2 * digestSize, Qt::Uninitialized);
    QChar *out = hex.data();
    for (qsizetype i = 0; i < digestSize; ++i) {
        const uchar byte = uchar(record[digestAt + i]);
        *out++ = QLatin1Char(hexDigits[byte >> 4]);
        *out++ = QLatin1Char(hexDigits[byte & 0xf]);
    }
    return hex;
}

void DigestCache::insert(const QString &relativePath, const Entry &entry)
{
    const QByteArray path = relativePath.toUtf8();
    const QByteArray digest = QByteArray::fromHex(entry.sha256.toLatin1());
    if (path.isEmpty() || path.size() > 0xffff || digest.size() != digestSize)
        return;
    QByteArray record(recordHead + path.size(), Qt::Uninitialized);
    char *out = record.data();
    out = writeAt<qint64>(out, entry.size);
    out = writeAt<qint64>(out, entry.modified);
    out = writeAt<quint64>(out, entry.device);
    out = writeAt<quint64>(out, entry.inode);
    out = std::copy(digest.cbegin(), digest.cend(), out);
    out = writeAt<quint16>(out, quint16(path.size()));
    std::copy(path.cbegin(), path.cend(), out);
    byPath();
    // A record replaced here must not be found in its old place.
    inFileOrder.clear();
    // The record's buffer never changes again, so the key may point into it.
    added.push_back(record);
    index.remove(QByteArrayView(path));
    index.insert(pathOf(record.constData()), record.constData());
}

bool DigestCache::remove(const QString &relativePath)
{
    byPath();
    inFileOrder.clear();
    return index.remove(QByteArrayView(relativePath.toUtf8()));
}

const QHash<QByteArrayView, const char *> &DigestCache::byPath() const
{
    if (indexed.load(std::memory_order_acquire))
        return index;
    std::lock_guard<std::mutex> lock(indexing);
    if (!indexed.load(std::memory_order_relaxed)) {
        index.reserve(qsizetype(inFileOrder.size()));
        for (const char *record : inFileOrder)
            index.insert(pathOf(record), record);
        indexed.store(true, std::memory_order_release);
    }
    return index;
}

QByteArray DigestCache::bytes(const QStringList &order) const
{
    // Every entry once: those of `order` first, in its order, then the rest.
    QHash<QByteArrayView, const char *> rest = byPath();
    std::vector<const char *> records;
    records.reserve(size_t(rest.size()));
    for (const QString &path : order) {
        if (const char *record = rest.take(QByteArrayView(path.toUtf8())))
            records.push_back(record);
    }
    for (const char *record : std::as_const(rest))
        records.push_back(record);

    const QByteArray folder = folderKey.toUtf8();
    qsizetype total = magic.size() + 4 + folder.size() + 4 + trailerSize;
    for (const char *record : records)
        total += recordSize(record);
    QByteArray data(total, Qt::Uninitialized);
    char *out = std::copy(magic.cbegin(), magic.cend(), data.data());
    out = writeAt<quint32>(out, quint32(folder.size()));
    out = std::copy(folder.cbegin(), folder.cend(), out);
    out = writeAt<quint32>(out, quint32(records.size()));
    for (const char *record : records)
        out = std::copy(record, record + recordSize(record), out);
    const QByteArray digest = sha256Hex(QByteArrayView(data).first(out - data.constData()));
    std::copy(digest.cbegin(), digest.cend(), out);
    return data;
}

bool DigestCache::read(QByteArray data)
{
    index.clear();
    indexed = false;
    strayLookups = false;
    inFileOrder.clear();
    added.clear();
    loaded.clear();
    if (data.size() < magic.size() + 8 + trailerSize || !data.startsWith(magic))
        return false;
    const QByteArrayView body = QByteArrayView(data).first(data.size() - trailerSize);
    if (QByteArrayView(data).last(trailerSize) != sha256Hex(body))
        return false;

    const char *at = body.data() + magic.size();
    const char *const end = body.data() + body.size();
    const quint32 folderLength = readAt<quint32>(at);
    at += 4;
    if (quint64(end - at) < quint64(folderLength) + 4 ||
        QString::fromUtf8(at, folderLength) != folderKey)
        return false;
    at += folderLength;
    const quint32 count = readAt<quint32>(at);
    at += 4;
    if (quint64(count) * recordHead > quint64(end - at))
        return false;

    std::vector<const char *> records;
    records.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        if (end - at < recordHead || end - at < recordSize(at) || pathOf(at).isEmpty())
            return false;
        records.push_back(at);
        at += recordSize(at);
    }
    if (at != end)
        return false;
    // The records point into the buffer, which is kept unchanged for as long as they do. A path
    // twice (only a hand edit can do that, the writer never does) is answered by either record.
    loaded = std::move(data);
    inFileOrder = std::move(records);
    return true;
}
