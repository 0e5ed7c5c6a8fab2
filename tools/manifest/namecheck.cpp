#include "namecheck.h"

#include "files/manifest.h"

#include <QHash>

QStringList refusedNames(const QStringList &paths)
{
    QStringList problems;
    // Every name once by its case-folded form, which is how Windows compares them.
    QHash<QString, QString> byFoldedName;
    byFoldedName.reserve(paths.size());
    for (const QString &path : paths) {
        if (!isSafeRelativePath(path)) {
            problems.append(QStringLiteral("%1: not a plain relative path (absolute, a drive "
                                           "letter, \"..\" or a backslash)")
                                .arg(path));
            continue;
        }
        QString &first = byFoldedName[path.toCaseFolded()];
        if (first.isEmpty())
            first = path;
        else
            problems.append(QStringLiteral("%1 and %2: one file on Windows (names differ only in "
                                           "case)")
                                .arg(first, path));
    }
    // The launcher downloads each file under its temporary name (the file's own name and a
    // suffix) before renaming it: only a name with that suffix can be another file's.
    const QString suffix = temporaryPathFor(QString());
    for (const QString &path : paths) {
        if (!path.endsWith(suffix, Qt::CaseInsensitive))
            continue;
        const auto owner = byFoldedName.constFind(path.chopped(suffix.size()).toCaseFolded());
        if (owner != byFoldedName.cend())
            problems.append(QStringLiteral("%1: the launcher's temporary name while it "
                                           "downloads %2")
                                .arg(path, owner.value()));
    }
    return problems;
}
