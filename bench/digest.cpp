// Times the launcher's one file-digest helper over a file and prints the seconds it took.
//
//   bench_digest <file>

#include "core/filedigest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (app.arguments().size() != 2) {
        QTextStream(stderr) << "usage: bench_digest <file>\n";
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    const QString digest = fileSha256(app.arguments().at(1));
    const qint64 nanoseconds = clock.nsecsElapsed();
    if (digest.isEmpty()) {
        QTextStream(stderr) << "cannot read " << app.arguments().at(1) << "\n";
        return 1;
    }
    out << "digest: " << digest << "\n"
        << "wall time: " << QString::number(nanoseconds / 1e9, 'f', 4) << " s\n";
    return 0;
}
