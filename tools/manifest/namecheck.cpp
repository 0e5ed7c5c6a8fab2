#include "namecheck.h"

#include "files/manifest.h"

#include <QHash>
#include <QSet>

QStringList refusedNames(const QStringList &paths)
{
    QStringList problems;
    QHash<QString, QString> byFoldedName;
    QSet<QString> folded;
    for (const QString &path : paths)
        folded.insert(path.toCaseFolded());
    for (const QString &path : paths) {
        if (!isSafeRelativePath(path)) {
            problems.append(QStringLiteral("%1: not a plain relative path (absolute, a drive "
                                           "letter, \"..\" or a backslash)")
                                .arg(path));
            continue;
        }
        const QString key = path.toCaseFolded();
        const auto other = byFoldedName.constFind(key);
        if (other != byFoldedName.cend())
            problems.append(QStringLiteral("%1 and %2: one file on Windows (names differ only in "
                                           "case)")
                                .arg(other.value(), path));
        else
            byFoldedName.insert(key, path);
        // The launcher downloads each file under its temporary name before renaming it.
        const QString temporary = temporaryPathFor(path);
        if (folded.contains(temporary.toCaseFolded()))
            problems.append(QStringLiteral("%1: the launcher's temporary name while it "
                                           "downloads %2")
                                .arg(temporary, path));
    }
    return problems;
}
