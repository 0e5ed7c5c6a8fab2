#pragma once

#include <QLocale>
#include <QString>

// The language the window speaks: the player's choice in Settings, or the system's when the
// choice is "system" (Polish on a Polish system, English on any other). English is the source
// language; Polish comes from the translations built into the program, with Qt's own for its
// standard buttons.
namespace interfacelanguage {

// "en" or "pl" for a stored choice ("system", "en" or "pl") on a system with this locale.
QString resolve(const QString &choice, const QLocale &system = QLocale::system());
// The locale the window writes its numbers in for `language`: the system's where it speaks that
// language (its own country's conventions), else the language's own.
QLocale numberLocale(const QString &language, const QLocale &system = QLocale::system());
// Installs the strings of `language` into the application (for "en", none) and makes its number
// locale the default. False when the strings cannot be loaded; the window then speaks English.
bool install(const QString &language);

} // namespace interfacelanguage
