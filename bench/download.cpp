// Downloads every file of a manifest with the launcher's FileManager (manifest, verification,
// parallel downloads with their size and SHA-256 checks) and prints the wall time of the download
// phase and the process's peak resident memory.
//
//   bench_download <manifest URL> <game folder> [parallel transfers] [options]
//     --ca FILE      trust the authorities of this PEM file besides the system's, as
//                    [Security] CaCertificates does
//     --http2        let HTTPS use HTTP/2 where the server offers it
//     --cut-at-half  cancel the batch once half its bytes arrived, then run it again: the
//                    time and memory printed are those of the second, resumed run
//     --limit KIB    hold every download together to KIB KiB/s (Settings' speed limit)
//     --base-client  install the manifest's base client instead of its files, cut once half
//                    of the archive arrived and started again: the time printed is the second
//                    run's, from the new start to the archive unpacked
//     --stop-at-half cancel the batch once half its bytes arrived and end: what arrived stays
//                    for the next run to resume

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filemanager.h"
#include "net/networkrequests.h"
#include "net/tlspolicy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

namespace {

qint64 peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        err << "usage: bench_download <manifest URL> <game folder> [parallel transfers]\n";
        return 2;
    }
    // Keeps the launcher's log out of the user's own folders.
    QStandardPaths::setTestModeEnabled(true);

    // Failures are worth seeing; routine lines are not.
    Logger::instance().setLogListener([&err](const QString &line) {
        if (line.contains(QLatin1String("] [WARN] ")) || line.contains(QLatin1String("] [ERROR] ")))
            err << line << Qt::endl;
    });

    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = args.at(1);
    config.gameDirectory = args.at(2);
    config.maxDownloadThreads = args.size() > 3 ? args.at(3).toInt() : 4;
    const int ca = int(args.indexOf(QStringLiteral("--ca")));
    QString caError;
    if (ca > 0 && ca + 1 < args.size() && !trustCaCertificatesFile(args.at(ca + 1), &caError)) {
        err << "cannot trust " << args.at(ca + 1) << ": " << caError << "\n";
        return 2;
    }
    setHttp2Allowed(args.contains(QStringLiteral("--http2")));
    const bool stopAtHalf = args.contains(QStringLiteral("--stop-at-half"));
    bool cutPending = stopAtHalf || args.contains(QStringLiteral("--cut-at-half"));
    const bool baseClient = args.contains(QStringLiteral("--base-client"));
    const int limit = int(args.indexOf(QStringLiteral("--limit")));

    FileManager files;
    if (limit > 0 && limit + 1 < args.size())
        files.setSpeedLimit(args.at(limit + 1).toLongLong() * 1024);
    QElapsedTimer clock;
    qint64 bytes = 0;
    int fileCount = 0;
    int errors = 0;

    QObject::connect(
        &files, &FileManager::manifestDownloaded, &app, [&](bool success, const QString &message) {
            if (!success) {
                err << message << "\n";
                app.exit(1);
                return;
            }
            if (!baseClient) {
                files.verifyFiles();
                return;
            }
            clock.start();
            files.installBaseClient(files.currentManifest().baseClient, config.gameDirectory);
        });
    bool baseClientCut = false;
    QObject::connect(&files, &FileManager::baseClientDownloadProgress, &app,
                     [&](int, qint64 downloaded, qint64 total) {
                         bytes = downloaded;
                         if (baseClientCut || total <= 0 || downloaded * 2 < total)
                             return;
                         baseClientCut = true;
                         QTimer::singleShot(0, &app, [&] {
                             files.cancelBaseClientInstall();
                             clock.start();
                             files.installBaseClient(files.currentManifest().baseClient,
                                                     config.gameDirectory);
                         });
                     });
    QObject::connect(&files, &FileManager::baseClientError, &app, [&](const QString &error) {
        err << error << "\n";
        app.exit(1);
    });
    QObject::connect(&files, &FileManager::verificationComplete, &app,
                     [&](int missing, int corrupted) {
                         fileCount = missing + corrupted;
                         if (fileCount == 0)
                             return; // allFilesReady follows
                         clock.start();
                         files.startDownload();
                     });
    QObject::connect(&files, &FileManager::downloadProgress, &app,
                     [&](int, qint64 downloaded, qint64 total) {
                         bytes = downloaded;
                         if (!cutPending || downloaded * 2 < total)
                             return;
                         cutPending = false;
                         // Out of the transfer's own signal first.
                         QTimer::singleShot(0, &app, [&] {
                             files.cancelDownloads();
                             if (stopAtHalf)
                                 app.exit(0);
                             else
                                 files.verifyFiles();
                         });
                     });
    QObject::connect(&files, &FileManager::errorOccurred, &app, [&](const QString &error) {
        err << error << "\n";
        ++errors;
    });
    const auto report = [&] {
        const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
        out << "files downloaded: " << fileCount << "\n"
            << "bytes: " << bytes << "\n"
            << "wall time: " << QString::number(seconds, 'f', 2) << " s\n"
            << "throughput: "
            << QString::number(seconds > 0 ? bytes / 1048576.0 / seconds : 0.0, 'f', 1)
            << " MiB/s\n"
            << "peak RSS: " << QString::number(peakRssKiB() / 1024.0, 'f', 1) << " MiB\n";
        app.exit(errors == 0 ? 0 : 1);
    };
    QObject::connect(&files, &FileManager::allFilesReady, &app, report);
    QObject::connect(&files, &FileManager::baseClientInstalled, &app, report);

    files.downloadManifest();
    const int code = app.exec();
    Logger::instance().setLogListener({});
    return code;
}
