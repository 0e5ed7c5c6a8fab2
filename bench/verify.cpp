// Times the launcher's verification pass (FileManager::verifyFiles: every file's content against
// the manifest, through the digest cache) over a game folder and prints the seconds from its start
// to its result.
//
//   bench_verify <manifest URL> <game folder> [--forget | --size-only]
//
// --forget removes the folder's digest cache first: the pass reads every file, as over a folder
// never seen. --size-only times the existence and size check alone, one stat a file on one
// thread, as the pass did before it compared content: the yardstick of a pass over a folder
// already checked.

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/digestcache.h"
#include "files/filemanager.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    const QString mode = args.size() == 4 ? args.at(3) : QString();
    if (args.size() < 3 || args.size() > 4 ||
        (!mode.isEmpty() && mode != QLatin1String("--forget") &&
         mode != QLatin1String("--size-only"))) {
        err << "usage: bench_verify <manifest URL> <game folder> [--forget | --size-only]\n";
        return 2;
    }
    // Keeps the launcher's log and digest cache out of the user's own folders.
    QStandardPaths::setTestModeEnabled(true);

    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = args.at(1);
    config.gameDirectory = args.at(2);
    if (mode == QLatin1String("--forget"))
        QFile::remove(DigestCache::defaultFile(config.gameDirectory));

    FileManager files;
    QElapsedTimer clock;
    auto report = [&](int missing, int corrupted) {
        const qint64 nanoseconds = clock.nsecsElapsed();
        out << "files: " << files.currentManifest().files.size() << "\n"
            << "missing: " << missing << ", corrupted: " << corrupted << "\n"
            << "wall time: " << QString::number(nanoseconds / 1e9, 'f', 4) << " s\n";
        app.exit(missing + corrupted == 0 ? 0 : 1);
    };
    QObject::connect(
        &files, &FileManager::manifestDownloaded, &app, [&](bool success, const QString &message) {
            if (!success) {
                err << message << "\n";
                app.exit(1);
                return;
            }
            clock.start();
            if (mode != QLatin1String("--size-only")) {
                files.verifyFiles();
                return;
            }
            int missing = 0;
            int corrupted = 0;
            for (const FileEntry &entry : files.currentManifest().files) {
                const auto stamp = platform::fileStamp(
                    (config.gameDirectory + QLatin1Char('/') + entry.path).toUtf8().toStdString());
                missing += !stamp;
                corrupted += stamp && stamp->size != entry.size;
            }
            report(missing, corrupted);
        });
    QObject::connect(&files, &FileManager::verificationComplete, &app, report);

    files.downloadManifest();
    return app.exec();
}
