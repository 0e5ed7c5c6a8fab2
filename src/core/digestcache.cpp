#include "core/digestcache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

// The file, all text, one entry a line:
//   wardgate-digests 2
//   folder <folder, percent-encoded>
//   <sha256> <size> <modified> <relative path, percent-encoded>
//   end <sha256 of every byte before this line>
// The closing digest makes any damage (a torn write, a flipped bit, a hand edit) reject the whole
// file, so a damaged cache can never answer for a file with a digest it was not given.

namespace {

const QByteArray magic = QByteArrayLiteral("wardgate-digests 2");
const QByteArray folderTag = QByteArrayLiteral("folder ");
const QByteArray endTag = QByteArrayLiteral("end ");
// "end " + 64 hex digits + "\n"
constexpr int trailerSize = 4 + 64 + 1;

QByteArray encodePath(const QString &path)
{
    return path.toUtf8().toPercentEncoding("/");
}

QString normalFolder(const QString &folder)
{
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

bool isDigest(QByteArrayView text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool isNumber(QByteArrayView text, bool allowSign)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    const qsizetype first = allowSign && text.at(0) == '-' ? 1 : 0;
    return first < text.size() && std::all_of(text.begin() + first, text.end(),
                                              [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

DigestCache::DigestCache(QString file, QString folder)
    : cacheFile(std::move(file)), folderKey(normalFolder(folder))
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
    entries.clear();
    QFile file(cacheFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return parse(file.readAll(), folderKey, entries);
}

bool DigestCache::save() const
{
    if (!QDir().mkpath(QFileInfo(cacheFile).absolutePath()))
        return false;
    QSaveFile file(cacheFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray data = serialize(entries, folderKey);
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString DigestCache::find(const QString &relativePath, qint64 size, qint64 modified) const
{
    const auto it = entries.constFind(relativePath);
    if (it == entries.constEnd() || it->size != size || it->modified != modified)
        return QString();
    return it->sha256;
}

void DigestCache::insert(const QString &relativePath, const Entry &entry)
{
    entries.insert(relativePath, entry);
}

bool DigestCache::remove(const QString &relativePath)
{
    return entries.remove(relativePath);
}

QByteArray DigestCache::serialize(const QHash<QString, Entry> &entries, const QString &folder)
{
    QStringList paths = entries.keys();
    paths.sort();
    QByteArray data;
    data.reserve(128 + paths.size() * 128);
    data += magic + '\n' + folderTag + encodePath(folder) + '\n';
    for (const QString &path : paths) {
        const Entry &entry = entries[path];
        data += entry.sha256.toLatin1() + ' ' + QByteArray::number(entry.size) + ' ' +
                QByteArray::number(entry.modified) + ' ' + encodePath(path) + '\n';
    }
    data += endTag + QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex() + '\n';
    return data;
}

bool DigestCache::parse(const QByteArray &data, const QString &folder, QHash<QString, Entry> &out)
{
    out.clear();
    if (data.size() < trailerSize || !data.endsWith('\n'))
        return false;
    const QByteArray body = data.left(data.size() - trailerSize);
    const QByteArray trailer = data.right(trailerSize);
    if (!trailer.startsWith(endTag) || (!body.isEmpty() && !body.endsWith('\n')) ||
        trailer.mid(endTag.size(), 64) !=
            QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex())
        return false;

    // Read in place, line by line: a cache of a large game has tens of thousands of lines, and
    // it is read before every scan.
    qsizetype position = 0;
    auto nextLine = [&body, &position](QByteArrayView &line) {
        if (position >= body.size())
            return false;
        const qsizetype end = body.indexOf('\n', position);
        line = QByteArrayView(body).sliced(position, end - position);
        position = end + 1;
        return true;
    };
    QByteArrayView line;
    if (!nextLine(line) || line != magic || !nextLine(line) || !line.startsWith(folderTag) ||
        QString::fromUtf8(
            QByteArray::fromPercentEncoding(line.sliced(folderTag.size()).toByteArray())) != folder)
        return false;

    QHash<QString, Entry> result;
    result.reserve(body.count('\n'));
    while (nextLine(line)) {
        QByteArrayView fields[4];
        int count = 0;
        qsizetype start = 0;
        for (; count < 4; ++count) {
            const qsizetype space = count < 3 ? line.indexOf(' ', start) : line.size();
            if (space < 0)
                break;
            fields[count] = line.sliced(start, space - start);
            start = space + 1;
        }
        if (count != 4 || !isDigest(fields[0]) || !isNumber(fields[1], false) ||
            !isNumber(fields[2], true) || fields[3].isEmpty() || fields[3].contains(' '))
            return false;
        bool sizeOk = false;
        bool timeOk = false;
        Entry entry;
        entry.sha256 = QString::fromLatin1(fields[0]);
        entry.size = fields[1].toLongLong(&sizeOk);
        entry.modified = fields[2].toLongLong(&timeOk);
        const QString path =
            fields[3].contains('%')
                ? QString::fromUtf8(QByteArray::fromPercentEncoding(fields[3].toByteArray()))
                : QString::fromUtf8(fields[3]);
        const qsizetype before = result.size();
        result.insert(path, entry);
        if (!sizeOk || !timeOk || path.isEmpty() || result.size() == before)
            return false;
    }
    out = std::move(result);
    return true;
}
