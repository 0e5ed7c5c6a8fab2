// Times the launcher's verification pass (FileManager::verifyFiles, sizes against the manifest)
// over a game folder and prints the seconds from its start to its result.
//
//   bench_verify <manifest URL> <game folder>

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filemanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        err << "usage: bench_verify <manifest URL> <game folder>\n";
        return 2;
    }
    // Keeps the launcher's log out of the user's own folders.
    QStandardPaths::setTestModeEnabled(true);

    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = args.at(1);
    config.gameDirectory = args.at(2);

    FileManager files;
    QElapsedTimer clock;
    QObject::connect(&files, &FileManager::manifestDownloaded, &app,
                     [&](bool success, const QString &message) {
                         if (!success) {
                             err << message << "\n";
                             app.exit(1);
                             return;
                         }
                         clock.start();
                         files.verifyFiles();
                     });
    QObject::connect(
        &files, &FileManager::verificationComplete, &app, [&](int missing, int corrupted) {
            const qint64 nanoseconds = clock.nsecsElapsed();
            out << "files: " << files.currentManifest().files.size() << "\n"
                << "missing: " << missing << ", corrupted: " << corrupted << "\n"
                << "wall time: " << QString::number(nanoseconds / 1e9, 'f', 4) << " s\n";
            app.exit(missing + corrupted == 0 ? 0 : 1);
        });

    files.downloadManifest();
    return app.exec();
}
