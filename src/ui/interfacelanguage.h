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
// Installs the strings of `language` into the application (for "en", none). False when they
// cannot be loaded; the window then speaks English.
bool install(const QString &language);

} // namespace interfacelanguage
