#include "files/filenamerule.h"

#include "files/manifest.h"

#include <QDir>
#include <QStringList>

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// Marks and embeddings that change the direction text is shown in: a name could pose as "txt.exe"
// read backwards.
bool turnsText(char16_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool isHexDigit(QChar c)
{
    return c.isDigit() || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'));
}

// Windows opens a device for these names, with any extension and in any case.
bool isDeviceName(const QString &segment)
{
    QString base = segment.left(segment.indexOf(QLatin1Char('.'))).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList devices = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                        QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                        QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (devices.contains(base))
        return true;
    if (base.size() != 4 ||
        (!base.startsWith(QLatin1String("COM")) && !base.startsWith(QLatin1String("LPT"))))
        return false;
    const QChar digit = base.at(3);
    return digit.isDigit() || digit == QChar(0x00b9) || digit == QChar(0x00b2) ||
           digit == QChar(0x00b3);
}

// How Windows compares names, after "a/./b" has become "a/b".
QString fold(const QString &path)
{
    return QDir::cleanPath(path).toCaseFolded();
}

} // namespace

QString FileNameRule::problem(const QString &path)
{
    for (const QChar c : path) {
        if (isControl(c.unicode()))
            return QStringLiteral("a control character in the name");
        if (turnsText(c.unicode()))
            return QStringLiteral("a character that turns the text's direction");
    }
    if (!isSafeRelativePath(path))
        return QStringLiteral("not a plain relative path (absolute, a drive letter, \"..\" or a "
                              "backslash)");
    for (qsizetype at = path.indexOf(QLatin1Char('%')); at >= 0 && at + 2 < path.size();
         at = path.indexOf(QLatin1Char('%'), at + 1)) {
        if (isHexDigit(path.at(at + 1)) && isHexDigit(path.at(at + 2)))
            return QStringLiteral("a percent-encoded character (a server would decode it)");
    }
    for (const QChar c : path) {
        if (QStringView(u"<>:\"|?*").contains(c))
            return QStringLiteral("a character Windows refuses in a name (%1)").arg(c);
    }
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        // "a/" and "a//b" would be joined to the folder as they stand, and "a/" downloads to
        // "a/.tmp", another name's part.
        if (segment.isEmpty())
            return QStringLiteral("an empty piece in the name (a trailing slash or \"//\")");
        if (segment == QLatin1String("."))
            return QStringLiteral("a \".\" piece in the name (the same file without it is a "
                                  "plainer name)");
        // NTFS takes 255 UTF-16 units a piece, Linux file systems 255 bytes.
        if (segment.size() > 255 || (segment.size() > 63 && segment.toUtf8().size() > 255))
            return QStringLiteral("a piece of the name longer than 255 characters");
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return QStringLiteral("a name that ends in a dot or a space (Windows drops it)");
        if (isDeviceName(segment))
            return QStringLiteral("a Windows device name (%1)").arg(segment);
    }
    return QString();
}

QString FileNameRule::admit(const QString &path)
{
    const QString own = problem(path);
    if (!own.isEmpty())
        return own;
    const QString folded = fold(path);
    const auto same = byFoldedName.constFind(folded);
    if (same != byFoldedName.cend()) {
        return same.value() == path
                   ? QStringLiteral("listed twice")
                   : QStringLiteral("one file on Windows with %1 (the names differ only in case)")
                         .arg(printable(same.value()));
    }
    // The launcher's own names beside a file while it downloads: its part, the part's validator
    // and its kept ranges. Either way round, two transfers would share one file.
    const QString part = temporaryPathFor(QString());
    const QString validator = part + QLatin1String(".validator");
    const QString ranges = part + QLatin1String(".segments");
    for (const QString &suffix : {part, validator, ranges}) {
        const QString foldedSuffix = fold(suffix);
        if (folded.endsWith(foldedSuffix)) {
            const auto owner = byFoldedName.constFind(folded.chopped(foldedSuffix.size()));
            if (owner != byFoldedName.cend())
                return QStringLiteral("the launcher's own name while it downloads %1")
                    .arg(printable(owner.value()));
        }
        const auto taken = byFoldedName.constFind(folded + foldedSuffix);
        if (taken != byFoldedName.cend())
            return QStringLiteral("the launcher would download it under %1, another file's name")
                .arg(printable(taken.value()));
    }
    const QString asFolder = folderClash(folded);
    if (!asFolder.isEmpty())
        return asFolder;
    byFoldedName.insert(folded, path);
    for (qsizetype slash = folded.indexOf(QLatin1Char('/')); slash > 0;
         slash = folded.indexOf(QLatin1Char('/'), slash + 1))
        folders.insert(folded.left(slash), path);
    return QString();
}

// A file cannot be where another name needs a folder, nor its part where a folder is: whichever
// landed second would fail.
QString FileNameRule::folderClash(const QString &folded) const
{
    const auto holder = folders.constFind(folded);
    if (holder != folders.cend())
        return QStringLiteral("a file where %1 needs a folder of that name")
            .arg(printable(holder.value()));
    const QString part = fold(temporaryPathFor(QString()));
    for (qsizetype slash = folded.indexOf(QLatin1Char('/')); slash > 0;
         slash = folded.indexOf(QLatin1Char('/'), slash + 1)) {
        const QString folder = folded.left(slash);
        auto file = byFoldedName.constFind(folder);
        if (file == byFoldedName.cend() && folder.endsWith(part))
            file = byFoldedName.constFind(folder.chopped(part.size()));
        if (file != byFoldedName.cend())
            return QStringLiteral("a folder where %1 is a file or its part")
                .arg(printable(file.value()));
    }
    const auto partHolder = folders.constFind(folded + part);
    if (partHolder != folders.cend())
        return QStringLiteral("its part would be where %1 needs a folder")
            .arg(printable(partHolder.value()));
    return QString();
}

QString FileNameRule::printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (turnsText(c.unicode()))
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
