#pragma once

#include <QSettings>
#include <QString>

// A folder path from an ini file, read the way players write it. QSettings takes a backslash for
// the start of an escape, so "C:\Games\L2 Veyrun" would come back as "C:GamesL2 Veyrun". A value
// in which every run of backslashes has an even length (written by QSettings, or by hand with
// doubled backslashes) keeps QSettings' reading, as does a value without any; any other value is
// the path as written, trimmed and without enclosing double quotes. `key` is "Section/Key".
QString readIniPath(const QSettings &settings, const QString &key, const QString &defaultValue);
