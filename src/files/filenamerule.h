#pragma once

#include <QHash>
#include <QString>

// Which names a game folder may hold: one rule for the launcher's manifest parser and for the
// operators' manifest tool, so that the tool refuses what the launcher would drop or mishandle.
// A name is refused on its own when it leaves the game folder (absolute, a drive letter, "..", a
// backslash), holds a control character or a character that turns text around (it would forge
// log lines or hide its real end), looks percent-encoded (a server decodes "%2e%2e" to ".."), or
// cannot be a file on Windows (a device name such as "con.txt" or "aux", a trailing dot or
// space, a character such as "?" or ":"), has an empty or "." piece ("a/", "a//b", "./a") or a
// piece longer than 255 characters. Among several names, one is refused that is one file on
// Windows with an earlier one (they differ only in case), that is the launcher's own part or
// validator name while it downloads another ("x.tmp", "x.tmp.validator" beside "x"), or that
// needs a folder where another is a file ("a" and "a/b").
class FileNameRule
{
public:
    // Why `path` cannot name a game file, or empty when it can.
    static QString problem(const QString &path);
    // Why `path` cannot join the names admitted so far (problem() included), or empty: then it is
    // admitted.
    QString admit(const QString &path);
    // `text` with control and direction characters shown as \xNN or \uNNNN: a name from a
    // server is written into the log and into messages only so.
    static QString printable(const QString &text);

private:
    QString folderClash(const QString &folded) const;

    QHash<QString, QString> byFoldedName; // every admitted name by its case-folded form
    QHash<QString, QString> folders;      // every folder they need, with the first name in it
};
