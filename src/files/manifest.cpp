#include "files/manifest.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filenamerule.h"

#include <algorithm>

#include <QBitArray>
#include <QDir>
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

// What a size that is no size reads as: the entry is refused, the base client's size unknown.
constexpr qint64 notANumber = -2;

// Sizes above 2^31 stay exact, a string of digits works too, and an absent size reads as 0. A
// negative number or one beyond the 64-bit range gives -1: no file has one.
qint64 sizeOf(const QJsonValue &value)
{
    if (value.isUndefined())
        return 0;
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number > -1 && number < 9223372036854775808.0 ? qRound64(number) : -1;
    }
    bool isNumber = false;
    const qint64 number = value.toString().toLongLong(&isNumber);
    if (!isNumber)
        return notANumber;
    return number < 0 ? -1 : number;
}

// Digests are compared as lower-case text: any other spelling could never match.
bool isSha256Text(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) &&
            !(c >= QLatin1Char('a') && c <= QLatin1Char('f')))
            return false;
    }
    return true;
}

// Why an entry's size or digest cannot describe a file; empty when they can.
QString valueProblem(const FileEntry &entry)
{
    if (entry.sha256.isEmpty())
        return QStringLiteral("no SHA-256");
    if (!isSha256Text(entry.sha256))
        return QStringLiteral("a SHA-256 that is not 64 lower-case hex digits");
    if (entry.size == notANumber)
        return QStringLiteral("a size that is not a number");
    if (entry.size < 0)
        return QStringLiteral("a size below 0 or beyond 64 bits");
    return QString();
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
        if (triple.size() != 3 || !isSha256Text(digest) || chunk.size <= 0 ||
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

// The chunk store's address: "chunks_url" relative to the files' base (a mirror holds files/ and
// chunks/ side by side), else to the manifest's own address. Empty: no store.
QString chunkStoreUrl(const QJsonObject &root)
{
    const QString store = textOf(root.value(QLatin1String("chunks_url")));
    if (store.isEmpty())
        return {};
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
        return {};
    }
    return storeUrl;
}

// A file's "chunks", where they add up to it; a list that does not leaves the file to travel
// whole. An empty file has nothing to rebuild.
void takeChunks(FileEntry &entry, const QJsonValue &list, const QString &storeUrl)
{
    if (!list.isArray() || entry.size <= 0)
        return;
    QString problem;
    entry.chunks = chunksOf(list.toArray(), entry.size, problem);
    if (entry.chunks.isEmpty()) {
        Logger::instance().log(Warn, QStringLiteral("Chunk list of %1 not used: %2")
                                         .arg(FileNameRule::printable(entry.path), problem));
        return;
    }
    entry.chunkStore = storeUrl;
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

bool Manifest::parse(QByteArray bytes)
{
    Logger &log = Logger::instance();
    files.clear();
    error.clear();
    refusedEntries = 0;

    QJsonArray elements;
    QString storeUrl;
    {
        QJsonParseError parseError;
        QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        bytes = QByteArray();
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
        QJsonObject root = document.object();
        document = QJsonDocument();

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
            const qint64 size = sizeOf(base.value(QLatin1String("size")));
            baseClient.size = size == notANumber ? 0 : size;
        }
        storeUrl = chunkStoreUrl(root);
        // Held alone from here, so that every entry taken from its end frees its part.
        elements = root.take(QLatin1String("files")).toArray();
    }
    if (elements.isEmpty()) {
        error = QStringLiteral("No files in manifest");
        log.log(Warn, error);
        return true;
    }

    // Taken from the end, each element's JSON form goes as its entry is made; an element that
    // is no object leaves an entry without a path, dropped below without a word.
    QList<FileEntry> entries(elements.size());
    QBitArray isObject(elements.size());
    for (qsizetype i = elements.size(); i-- > 0;) {
        const QJsonValue element = elements.last();
        elements.removeLast();
        if (!element.isObject())
            continue;
        isObject.setBit(i);
        const QJsonObject object = element.toObject();
        FileEntry &entry = entries[i];
        entry.path = textOf(object.value(QLatin1String("path")));
        entry.size = sizeOf(object.value(QLatin1String("size")));
        entry.sha256 = textOf(object.value(QLatin1String("sha256")));
        entry.url = textOf(object.value(QLatin1String("url")));
        if (!storeUrl.isEmpty())
            takeChunks(entry, object.value(QLatin1String("chunks")), storeUrl);
    }

    // An entry without a usable size or digest, or whose name the name rule refuses (outside the
    // game directory, listed before, another entry's part name, not a name for Windows), is
    // dropped; in document order, since the first entry for a name wins.
    FileNameRule names;
    qsizetype kept = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        FileEntry &entry = entries[i];
        if (!isObject.testBit(i)) {
            ++refusedEntries;
            continue;
        }
        QString refusal = valueProblem(entry);
        if (refusal.isEmpty())
            refusal = names.admit(entry.path);
        if (!refusal.isEmpty()) {
            log.log(Warn, QStringLiteral("Invalid file entry in manifest: %1 (%2)")
                              .arg(FileNameRule::printable(entry.path), refusal));
            ++refusedEntries;
            continue;
        }
        if (kept != i)
            entries[kept] = std::move(entry);
        ++kept;
    }
    entries.resize(kept);
    files = std::move(entries);

    const QString baseUrl = LauncherConfig::instance().filesBaseUrl;
    if (!baseUrl.isEmpty()) {
        for (FileEntry &entry : files)
            entry.url = fileUrl(baseUrl, entry.path);
    }

    if (!storeUrl.isEmpty()) {
        const auto chunked =
            std::count_if(files.cbegin(), files.cend(),
                          [](const FileEntry &entry) { return !entry.chunkStore.isEmpty(); });
        log.log(Info, QStringLiteral("Chunk store %1 holds %2 of the files")
                          .arg(storeUrl, QString::number(chunked)));
    }

    log.log(Info, QStringLiteral("Manifest parsed: version %1, %2 files")
                      .arg(version, QString::number(files.size())));
    return true;
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
