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

QLocale numberLocale(const QString &language, const QLocale &system)
{
    const QLocale::Language spoken =
        language == QLatin1String("pl") ? QLocale::Polish : QLocale::English;
    if (system.language() == spoken)
        return system;
    return spoken == QLocale::Polish ? QLocale(QLocale::Polish, QLocale::Poland)
                                     : QLocale(QLocale::English, QLocale::UnitedStates);
}

bool install(const QString &language)
{
    if (language != QLatin1String("pl")) {
        QLocale::setDefault(numberLocale(QStringLiteral("en")));
        return true;
    }
    QLocale::setDefault(numberLocale(language));
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
