#include "namecheck.h"

#include "files/filenamerule.h"

QStringList refusedNames(const QStringList &paths)
{
    QStringList problems;
    FileNameRule rule;
    for (const QString &path : paths) {
        const QString refusal = rule.admit(path);
        if (!refusal.isEmpty())
            problems.append(QStringLiteral("%1: %2").arg(FileNameRule::printable(path), refusal));
    }
    return problems;
}
