#include "files/manifest.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filenamerule.h"

#include <QBitArray>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

    log.log(Info, QStringLiteral("Manifest parsed: version %1, %2 files")
                      .arg(version, QString::number(files.size())));
    return true;
}

QString fileUrl(const QString &baseUrl, const QString &path)
{
    QString name = path;
    name.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('#'), QLatin1String("%23"))
        .replace(QLatin1Char('?'), QLatin1String("%3F"));
    return baseUrl + QLatin1Char('/') + name;
}
