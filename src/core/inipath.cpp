#include "core/inipath.h"

#include <QFile>
#include <QRegularExpression>

namespace {

// The text after "Key=" in "[Section]" as it stands in the file; null when absent.
QString rawValue(const QString &fileName, const QString &section, const QString &key)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    bool inSection = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inSection = line == QLatin1Char('[') + section + QLatin1Char(']');
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inSection && equals > 0 && line.left(equals).trimmed() == key)
            return line.mid(equals + 1).trimmed();
    }
    return QString();
}

bool hasOddBackslashRun(const QString &text)
{
    static const QRegularExpression runs(QStringLiteral("\\\\+"));
    for (QRegularExpressionMatchIterator it = runs.globalMatch(text); it.hasNext();) {
        if (it.next().capturedLength() % 2 != 0)
            return true;
    }
    return false;
}

} // namespace

QString readIniPath(const QSettings &settings, const QString &key, const QString &defaultValue)
{
    const qsizetype slash = key.indexOf(QLatin1Char('/'));
    QString raw = rawValue(settings.fileName(), key.left(slash), key.mid(slash + 1));
    if (raw.isNull() || !hasOddBackslashRun(raw))
        return settings.value(key, defaultValue).toString();
    if (raw.size() >= 2 && raw.startsWith(QLatin1Char('"')) && raw.endsWith(QLatin1Char('"')))
        raw = raw.mid(1, raw.size() - 2);
    return raw;
}
