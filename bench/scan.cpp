// Times the full scan (ParallelHasher, one thread per core) over every file below a folder and
// prints the seconds from its start to its result. The file list is made before the clock starts,
// as the manifest is in the launcher.
//
//   bench_scan <folder> <cache file, or - for none>

#include "files/parallelhasher.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: bench_scan <folder> <cache file, or - for none>\n";
        return 2;
    }
    // Keeps the launcher's log out of the user's own folders.
    QStandardPaths::setTestModeEnabled(true);

    const QDir folder(args.at(1));
    QList<FileEntry> files;
    qint64 bytes = 0;
    QDirIterator it(folder.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        files.append({folder.relativeFilePath(info.filePath()), info.size()});
        bytes += info.size();
    }

    ParallelHasher hasher;
    QElapsedTimer clock;
    int status = 1;
    QObject::connect(
        &hasher, &ParallelHasher::finished, &app, [&](const QList<HashResult> &results, bool) {
            const qint64 nanoseconds = clock.nsecsElapsed();
            int hashed = 0;
            int cached = 0;
            for (const HashResult &result : results) {
                hashed += result.outcome == HashResult::Hashed;
                cached += result.fromCache;
            }
            out << "files: " << results.size() << ", bytes: " << bytes << "\n"
                << "hashed: " << hashed << ", from cache: " << cached << "\n"
                << "wall time: " << QString::number(nanoseconds / 1e9, 'f', 4) << " s\n";
            status = hashed == results.size() ? 0 : 1;
            app.quit();
        });
    clock.start();
    hasher.start(folder.path(), files, args.at(2) == QLatin1String("-") ? QString() : args.at(2));
    app.exec();
    return status;
}
