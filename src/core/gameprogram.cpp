#include "core/gameprogram.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool isAbsolute(const QString &path)
{
    // A drive-relative "C:x" counts too: it names a folder outside ours as well.
    return path.startsWith(QLatin1Char('/')) ||
           (path.size() >= 2 && path.at(0).isLetter() && path.at(1) == QLatin1Char(':'));
}

} // namespace

GameProgram locateGameProgram(const QString &gameDirectory, const QString &executable)
{
    GameProgram program;
    program.fullPath = gameDirectory + QLatin1Char('/') + executable;
    if (executable.isEmpty())
        return program;
    // Operators on Windows write "system\l2.exe"; elsewhere a backslash is part of a name.
    const QString path = QDir::fromNativeSeparators(executable);
    if (isAbsolute(path)) {
        program.problem = FailureText("GameProgram", "The game program must lie inside the game "
                                                     "folder, but game_executable \"%1\" is an "
                                                     "absolute path")
                              .arg(executable);
        return program;
    }
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String(".") || clean == QLatin1String("..") ||
        clean.startsWith(QLatin1String("../"))) {
        program.problem = FailureText("GameProgram", "The game program must lie inside the game "
                                                     "folder, but game_executable \"%1\" leads "
                                                     "out of it")
                              .arg(executable);
        return program;
    }
    // A link inside the folder may still lead out of it.
    QString root = QFileInfo(gameDirectory).canonicalFilePath();
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    const QString target = QFileInfo(program.fullPath).canonicalFilePath();
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    if (root.size() > 1 && !target.isEmpty() && !target.startsWith(root, sensitivity)) {
        program.problem = FailureText("GameProgram", "The game program must lie inside the game "
                                                     "folder, but game_executable \"%1\" leads "
                                                     "out of it (to %2)")
                              .arg(executable, target);
        return program;
    }
    program.relativePath = clean;
    return program;
}
