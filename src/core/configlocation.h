#pragma once

#include <QString>
#include <QStringList>

// Where the launcher's ini file may lie, in the order it is looked for. The working directory's
// "config/launcher.ini" comes first, as it always has; a launcher started from a desktop menu
// has the home folder as working directory, so the "config" folder beside the executable and the
// user's own configuration folder follow.
namespace configlocation {

inline constexpr char relativePath[] = "config/launcher.ini";

// `executableDir` is the launcher's folder, `userConfigDir` the user's configuration root
// (~/.config on Linux).
QStringList candidates(const QString &executableDir, const QString &userConfigDir);

// The first candidate that is a readable file; empty when there is none.
QString find(const QStringList &candidates);

} // namespace configlocation
