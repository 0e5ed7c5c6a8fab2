#include "files/manifest.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filenamerule.h"

#include <algorithm>

#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrl>

namespace {

QString textOf(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

// Sizes above 2^31 stay exact, a numeric string works too, anything else reads as 0. A number
// beyond the 64-bit range gives -1, like a negative size: no file has one.
qint64 sizeOf(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number > -1 && number < 9223372036854775808.0 ? qRound64(number) : -1;
    }
    return value.toVariant().toLongLong();
}

// A time in whole seconds since the epoch: -1 for no value, -2 for one that is no such number.
qint64 secondsOf(const QJsonValue &value)
{
    if (value.isUndefined())
        return -1;
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9.0e15 || number != qint64(number))
        return -2;
    return qint64(number);
}

} // namespace

QString temporaryPathFor(const QString &path)
{
    return path + QLatin1String(".tmp");
}

bool isSafeRelativePath(const QString &path)
{
    if (path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    if (path.size() >= 2 && path.at(0).isLetter() && path.at(1) == QLatin1Char(':'))
        return false;
    // No name that starts with a dot: nothing is "..", and nothing cleans away to nothing. Nearly
    // every game file, and this check runs for tens of thousands of them.
    if (!path.isEmpty() && !path.startsWith(QLatin1Char('.')) &&
        !path.contains(QLatin1String("/.")))
        return true;
    const QStringList segments = path.split(QLatin1Char('/'));
    if (segments.contains(QStringLiteral("..")))
        return false;
    const QString clean = QDir::cleanPath(path);
    return !clean.isEmpty() && clean != QLatin1String(".");
}

bool Manifest::parse(const QByteArray &bytes)
{
    Logger &log = Logger::instance();
    files.clear();
    error.clear();
    refusedEntries = 0;

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("JSON parse error: %1").arg(parseError.errorString());
        log.log(Error, error);
        return false;
    }
    if (!document.isObject()) {
        error = QStringLiteral("Invalid manifest format: root is not an object");
        log.log(Error, error);
        return false;
    }
    const QJsonObject root = document.object();

    version = textOf(root.value(QLatin1String("version")));
    if (version.isEmpty()) {
        error = QStringLiteral("Manifest version is missing");
        log.log(Warn, error);
    }

    published = secondsOf(root.value(QLatin1String("published")));
    expires = secondsOf(root.value(QLatin1String("expires")));

    if (root.contains(QLatin1String("base_client"))) {
        const QJsonObject base = root.value(QLatin1String("base_client")).toObject();
        baseClient.url = textOf(base.value(QLatin1String("url")));
        baseClient.sha256 = textOf(base.value(QLatin1String("sha256")));
        baseClient.size = sizeOf(base.value(QLatin1String("size")));
    }

    const QJsonArray elements = root.value(QLatin1String("files")).toArray();
    if (elements.isEmpty()) {
        error = QStringLiteral("No files in manifest");
        log.log(Warn, error);
        return true;
    }

    // An entry without size or digest, or whose name the name rule refuses (outside the game
    // directory, listed before, another entry's part name, not a name for Windows), is dropped.
    FileNameRule names;
    for (const QJsonValue &element : elements) {
        if (!element.isObject()) {
            ++refusedEntries;
            continue;
        }
        const QJsonObject object = element.toObject();
        FileEntry entry;
        entry.path = textOf(object.value(QLatin1String("path")));
        entry.size = sizeOf(object.value(QLatin1String("size")));
        entry.sha256 = textOf(object.value(QLatin1String("sha256")));
        entry.url = textOf(object.value(QLatin1String("url")));
        const QString refusal = entry.sha256.isEmpty() || entry.size < 0
                                    ? QStringLiteral("no size or SHA-256")
                                    : names.admit(entry.path);
        if (!refusal.isEmpty()) {
            log.log(Warn, QStringLiteral("Invalid file entry in manifest: %1 (%2)")
                              .arg(FileNameRule::printable(entry.path), refusal));
            ++refusedEntries;
            continue;
        }
        files.append(entry);
    }

    const QString baseUrl = LauncherConfig::instance().filesBaseUrl;
    if (!baseUrl.isEmpty()) {
        for (FileEntry &entry : files)
            entry.url = fileUrl(baseUrl, entry.path);
    }

    readChunkStore(root);

    log.log(Info, QStringLiteral("Manifest parsed: version %1, %2 files")
                      .arg(version, QString::number(files.size())));
    return true;
}

namespace {

bool isDigest(const QString &text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

// The chunks of one file from its [digest, size, stored] triples; empty, with `problem` set, when
// one is malformed or they do not add up to the file.
QList<FileChunk> chunksOf(const QJsonArray &list, qint64 fileSize, QString &problem)
{
    QList<FileChunk> chunks;
    chunks.reserve(list.size());
    qint64 total = 0;
    for (const QJsonValue &value : list) {
        const QJsonArray triple = value.toArray();
        FileChunk chunk;
        const QString digest = textOf(triple.at(0));
        chunk.size = sizeOf(triple.at(1));
        chunk.stored = sizeOf(triple.at(2));
        if (triple.size() != 3 || !isDigest(digest) || chunk.size <= 0 ||
            chunk.size > maxChunkBytes || chunk.stored <= 0 || chunk.stored > chunk.size) {
            problem = QStringLiteral("chunk %1 malformed").arg(chunks.size());
            return {};
        }
        chunk.sha256 = digest.toLatin1();
        total += chunk.size;
        if (total > fileSize)
            break;
        chunks.append(chunk);
    }
    if (total != fileSize) {
        problem = QStringLiteral("chunks add up to %1 bytes, not %2").arg(total).arg(fileSize);
        return {};
    }
    return chunks;
}

} // namespace

void Manifest::readChunkStore(const QJsonObject &root)
{
    const QString store = textOf(root.value(QLatin1String("chunks_url")));
    if (store.isEmpty() || files.isEmpty())
        return;
    // Relative to the files' base (a mirror holds files/ and chunks/ side by side), else to the
    // manifest's own address.
    const LauncherConfig &config = LauncherConfig::instance();
    const QString base =
        config.filesBaseUrl.isEmpty() ? config.manifestUrl : config.filesBaseUrl + QLatin1Char('/');
    QString storeUrl = QUrl(base).resolved(QUrl(store)).toString();
    while (storeUrl.endsWith(QLatin1Char('/')))
        storeUrl.chop(1);
    const QUrl parsed(storeUrl);
    if (!parsed.isValid() || parsed.host().isEmpty()) {
        Logger::instance().log(
            Warn, QStringLiteral("Chunk store not used: no address in \"%1\"").arg(store));
        return;
    }

    QHash<QString, QJsonArray> lists;
    for (const QJsonValue &element : root.value(QLatin1String("files")).toArray()) {
        const QJsonObject object = element.toObject();
        const QJsonValue chunks = object.value(QLatin1String("chunks"));
        if (chunks.isArray())
            lists.insert(textOf(object.value(QLatin1String("path"))), chunks.toArray());
    }
    int chunked = 0;
    for (FileEntry &entry : files) {
        const auto it = lists.constFind(entry.path);
        // An empty file has nothing to rebuild.
        if (it == lists.constEnd() || entry.size == 0)
            continue;
        QString problem;
        entry.chunks = chunksOf(*it, entry.size, problem);
        if (entry.chunks.isEmpty()) {
            Logger::instance().log(Warn, QStringLiteral("Chunk list of %1 not used: %2")
                                             .arg(FileNameRule::printable(entry.path), problem));
            continue;
        }
        entry.chunkStore = storeUrl;
        ++chunked;
    }
    Logger::instance().log(Info, QStringLiteral("Chunk store %1 holds %2 of the files")
                                     .arg(storeUrl, QString::number(chunked)));
}

qint64 transferSize(const FileEntry &entry)
{
    if (entry.chunks.isEmpty() || entry.chunkStore.isEmpty() || entry.wholeFile)
        return entry.size;
    QSet<QByteArray> seen;
    qint64 total = 0;
    for (const FileChunk &chunk : entry.chunks) {
        if (!seen.contains(chunk.sha256)) {
            seen.insert(chunk.sha256);
            total += chunk.stored;
        }
    }
    return total;
}

QString chunkUrl(const QString &storeUrl, const QByteArray &sha256)
{
    return storeUrl + QLatin1Char('/') + QLatin1String(sha256.left(2)) + QLatin1Char('/') +
           QLatin1String(sha256);
}

QString fileUrl(const QString &baseUrl, const QString &path)
{
    QString name = path;
    name.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('#'), QLatin1String("%23"))
        .replace(QLatin1Char('?'), QLatin1String("%3F"));
    return baseUrl + QLatin1Char('/') + name;
}
