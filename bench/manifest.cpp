// What a big manifest costs the launcher: fetches the manifest at a URL through FileManager, as
// at a login, and prints how long it took, how many files it kept and the process's peak
// resident memory (VmHWM) before and after.
//
//   bench_manifest <manifest URL>
//
// A 200,000-entry manifest to serve (with nginx, or `python3 -m http.server`):
//   python3 -c 'import json; print(json.dumps({"version": "1", "files": [{"path":
//     "data/textures/region_%03d/tile_%06d_normal.dds" % (i // 1000, i), "size": 1234567890,
//     "sha256": "a" * 64} for i in range(200000)]}, indent=1))' > manifest.json

#include "core/launcherconfig.h"
#include "files/filemanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

namespace {
QString peakResident()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    }
    return QStringLiteral("?");
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (app.arguments().size() != 2) {
        QTextStream(stderr) << "usage: bench_manifest <manifest URL>\n";
        return 2;
    }
    out << "peak before: " << peakResident() << "\n";
    LauncherConfig::instance().manifestUrl = app.arguments().at(1);
    FileManager manager;
    QElapsedTimer clock;
    int status = 1;
    QObject::connect(&manager, &FileManager::manifestDownloaded, &app,
                     [&](bool success, const QString &message) {
                         out << "manifest: " << (success ? "taken" : "refused") << ", " << message
                             << ", " << manager.currentManifest().files.size() << " files in "
                             << clock.elapsed() << " ms\n";
                         status = success ? 0 : 1;
                         app.quit();
                     });
    clock.start();
    manager.downloadManifest();
    app.exec();
    out << "peak resident: " << peakResident() << "\n";
    return status;
}
