#include "files/digestcache.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <charconv>

// The file, all text, one entry a line:
//   wardgate-digests 3
//   folder <folder or scope, percent-encoded>
//   <sha256> <size> <modified> <device> <inode> <relative path, percent-encoded>
//   end <sha256 of every byte before this line>
// The closing digest makes any damage (a torn write, a flipped bit, a hand edit) reject the whole
// file, so a damaged cache can never answer for a file with a digest it was not given.

namespace {

const QByteArray magic = QByteArrayLiteral("wardgate-digests 3");
const QByteArray folderTag = QByteArrayLiteral("folder ");
const QByteArray endTag = QByteArrayLiteral("end ");
// "end " + 64 hex digits + "\n"
constexpr int trailerSize = 4 + 64 + 1;

QByteArray encodePath(const QString &path)
{
    return path.toUtf8().toPercentEncoding("/");
}

bool isPlain(const QString &path)
{
    return std::all_of(path.begin(), path.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
               u == '/' || u == '.' || u == '_' || u == '-' || u == '~';
    });
}

// Copies ASCII text to `out` and returns the end.
char *copyAscii(char *out, const QString &text)
{
    for (const QChar c : text)
        *out++ = char(c.unicode());
    return out;
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

bool isDigest(QByteArrayView text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool isNumber(QByteArrayView text, bool allowSign)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    const qsizetype first = allowSign && text.at(0) == '-' ? 1 : 0;
    return first < text.size() && std::all_of(text.begin() + first, text.end(),
                                              [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

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

QString DigestCache::find(const QString &relativePath, const Entry &stamp) const
{
    const auto it = entries.constFind(relativePath);
    if (it == entries.constEnd() || it->size != stamp.size || it->modified != stamp.modified ||
        it->device != stamp.device || it->inode != stamp.inode)
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
    QByteArray data = magic + '\n' + folderTag + encodePath(folder) + '\n';
    // Written through a pointer into room made beforehand: tens of thousands of lines are
    // written after every scan that hashed anything. Nearly every game path is plain ASCII with
    // nothing to encode and is copied as it stands.
    constexpr qsizetype numberRoom = 20;
    qsizetype used = data.size();
    data.resize(used + entries.size() * 128);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString &path = it.key();
        const Entry &entry = it.value();
        const bool plain = isPlain(path);
        const QByteArray encoded = plain ? QByteArray() : encodePath(path);
        const qsizetype room =
            entry.sha256.size() + 4 * numberRoom + 6 + (plain ? path.size() : encoded.size());
        if (data.size() < used + room)
            data.resize(std::max(2 * data.size(), used + room));
        char *out = data.data() + used;
        out = copyAscii(out, entry.sha256);
        *out++ = ' ';
        out = std::to_chars(out, out + numberRoom, entry.size).ptr;
        *out++ = ' ';
        out = std::to_chars(out, out + numberRoom, entry.modified).ptr;
        *out++ = ' ';
        out = std::to_chars(out, out + numberRoom, entry.device).ptr;
        *out++ = ' ';
        out = std::to_chars(out, out + numberRoom, entry.inode).ptr;
        *out++ = ' ';
        out =
            plain ? copyAscii(out, path) : std::copy(encoded.constBegin(), encoded.constEnd(), out);
        *out++ = '\n';
        used = out - data.constData();
    }
    data.truncate(used);
    data += endTag + sha256Hex(data) + '\n';
    return data;
}

bool DigestCache::parse(const QByteArray &data, const QString &folder, QHash<QString, Entry> &out)
{
    out.clear();
    if (data.size() < trailerSize || !data.endsWith('\n'))
        return false;
    const QByteArrayView body = QByteArrayView(data).first(data.size() - trailerSize);
    const QByteArrayView trailer = QByteArrayView(data).last(trailerSize);
    if (!trailer.startsWith(endTag) || (!body.isEmpty() && !body.endsWith('\n')) ||
        trailer.sliced(endTag.size(), 64) != sha256Hex(body))
        return false;

    // Read in place, line by line: a cache of a large game has tens of thousands of lines, and
    // it is read before every scan.
    qsizetype position = 0;
    auto nextLine = [&body, &position](QByteArrayView &line) {
        if (position >= body.size())
            return false;
        const qsizetype end = body.indexOf('\n', position);
        line = body.sliced(position, end - position);
        position = end + 1;
        return true;
    };
    QByteArrayView line;
    if (!nextLine(line) || line != magic || !nextLine(line) || !line.startsWith(folderTag) ||
        QString::fromUtf8(
            QByteArray::fromPercentEncoding(line.sliced(folderTag.size()).toByteArray())) != folder)
        return false;

    QHash<QString, Entry> result;
    result.reserve(std::count(body.begin(), body.end(), '\n'));
    while (nextLine(line)) {
        QByteArrayView fields[6];
        int count = 0;
        qsizetype start = 0;
        for (; count < 6; ++count) {
            const qsizetype space = count < 5 ? line.indexOf(' ', start) : line.size();
            if (space < 0)
                break;
            fields[count] = line.sliced(start, space - start);
            start = space + 1;
        }
        if (count != 6 || !isDigest(fields[0]) || !isNumber(fields[1], false) ||
            !isNumber(fields[2], true) || !isNumber(fields[3], false) ||
            !isNumber(fields[4], false) || fields[5].isEmpty() || fields[5].contains(' '))
            return false;
        bool sizeOk = false;
        bool timeOk = false;
        bool deviceOk = false;
        bool inodeOk = false;
        Entry entry;
        entry.sha256 = QString::fromLatin1(fields[0]);
        entry.size = fields[1].toLongLong(&sizeOk);
        entry.modified = fields[2].toLongLong(&timeOk);
        entry.device = fields[3].toULongLong(&deviceOk);
        entry.inode = fields[4].toULongLong(&inodeOk);
        const QString path =
            fields[5].contains('%')
                ? QString::fromUtf8(QByteArray::fromPercentEncoding(fields[5].toByteArray()))
                : QString::fromUtf8(fields[5]);
        const qsizetype before = result.size();
        result.insert(path, entry);
        if (!sizeOk || !timeOk || !deviceOk || !inodeOk || path.isEmpty() ||
            result.size() == before)
            return false;
    }
    out = std::move(result);
    return true;
}
