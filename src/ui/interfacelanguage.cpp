#include "ui/interfacelanguage.h"

#include <QCoreApplication>
#include <QTranslator>

namespace interfacelanguage {

QString resolve(const QString &choice, const QLocale &system)
{
    if (choice == QLatin1String("en") || choice == QLatin1String("pl"))
        return choice;
    return system.language() == QLocale::Polish ? QStringLiteral("pl") : QStringLiteral("en");
}

bool install(const QString &language)
{
    if (language != QLatin1String("pl"))
        return true;
    bool loaded = true;
    for (const char *catalog : {"wardgate_pl", "qtbase_pl"}) {
        auto *translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(QString::fromLatin1(catalog), QStringLiteral(":/i18n"))) {
            QCoreApplication::installTranslator(translator);
        } else {
            delete translator;
            loaded = false;
        }
    }
    return loaded;
}

} // namespace interfacelanguage
