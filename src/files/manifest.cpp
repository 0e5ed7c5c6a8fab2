#include "files/manifest.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filenamerule.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
