// The network's share of many small downloads: fetches every URL of a list a given number at
// once over one of the launcher's network managers (what one download lane has), and throws the
// bodies away (no files, no checks). Prints the wall time.
//
//   bench_fetch <URL list file> [parallel transfers]

#include "net/httpnetwork.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QTextStream>

#include <functional>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    QFile list(args.value(1));
    if (args.size() < 2 || !list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        err << "usage: bench_fetch <URL list file> [parallel transfers]\n";
        return 2;
    }
    const QStringList urls = QString::fromUtf8(list.readAll()).split('\n', Qt::SkipEmptyParts);
    const int parallel = args.size() > 2 ? qMax(1, args.at(2).toInt()) : 4;

    HttpNetwork network;
    network.setTransferTimeout(30000);
    QElapsedTimer clock;
    int next = 0;
    int finished = 0;
    int failed = 0;
    std::function<void()> startNext = [&] {
        if (next >= urls.size())
            return;
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(urls.at(next++))));
        QObject::connect(reply, &QNetworkReply::finished, &app, [&, reply] {
            reply->deleteLater();
            reply->readAll();
            if (reply->error() != QNetworkReply::NoError)
                ++failed;
            if (++finished == urls.size()) {
                QTextStream(stdout)
                    << "files: " << finished << ", failed: " << failed << "\n"
                    << "wall time: " << QString::number(clock.nsecsElapsed() / 1e9, 'f', 4)
                    << " s\n";
                app.exit(failed == 0 ? 0 : 1);
                return;
            }
            startNext();
        });
    };
    clock.start();
    for (int i = 0; i < parallel; ++i)
        startNext();
    return urls.isEmpty() ? 0 : app.exec();
}
