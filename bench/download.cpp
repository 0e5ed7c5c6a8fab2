// Downloads every file of a manifest with the launcher's FileManager (manifest, verification,
// parallel downloads with their size and SHA-256 checks) and prints the wall time of the download
// phase and the process's peak resident memory.
//
//   bench_download <manifest URL> <game folder> [parallel transfers] [options]
//     --ca FILE      trust this PEM certificate (a self-signed bench server)
//     --http2        let HTTPS use HTTP/2 where the server offers it
//     --cut-at-half  cancel the batch once half its bytes arrived, then run it again: the
//                    time and memory printed are those of the second, resumed run
//     --stop-at-half cancel the batch once half its bytes arrived and end: what arrived stays
//                    for the next run to resume

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filemanager.h"
#include "net/networkrequests.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
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
    if (ca > 0 && ca + 1 < args.size()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(args.at(ca + 1)));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    setHttp2Allowed(args.contains(QStringLiteral("--http2")));
    const bool stopAtHalf = args.contains(QStringLiteral("--stop-at-half"));
    bool cutPending = stopAtHalf || args.contains(QStringLiteral("--cut-at-half"));

    FileManager files;
    QElapsedTimer clock;
    qint64 bytes = 0;
    int fileCount = 0;
    int errors = 0;

    QObject::connect(&files, &FileManager::manifestDownloaded, &app,
                     [&](bool success, const QString &message) {
                         if (!success) {
                             err << message << "\n";
                             app.exit(1);
                             return;
                         }
                         files.verifyFiles();
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
    QObject::connect(&files, &FileManager::allFilesReady, &app, [&] {
        const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
        out << "files downloaded: " << fileCount << "\n"
            << "bytes: " << bytes << "\n"
            << "wall time: " << QString::number(seconds, 'f', 2) << " s\n"
            << "throughput: "
            << QString::number(seconds > 0 ? bytes / 1048576.0 / seconds : 0.0, 'f', 1)
            << " MiB/s\n"
            << "peak RSS: " << QString::number(peakRssKiB() / 1024.0, 'f', 1) << " MiB\n";
        app.exit(errors == 0 ? 0 : 1);
    });

    files.downloadManifest();
    const int code = app.exec();
    Logger::instance().setLogListener({});
    return code;
}
