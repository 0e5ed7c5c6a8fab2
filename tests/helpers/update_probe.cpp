// Stands in for a launcher in the self-update tests.
//   update_probe wait     stays alive until killed: the old launcher the update script waits for.
//   update_probe zombie   prints the id of a child that has ended but is never reaped, then stays
//                         alive until killed: an old launcher whose parent never waited for it.
//   update_probe          (as the script starts a new launcher) writes its own path into
//                         "started" in its working folder.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString mode = app.arguments().value(1);
    if (mode == QLatin1String("wait"))
        return app.exec();
    if (mode == QLatin1String("zombie")) {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        std::printf("%d\n", int(child));
        std::fflush(stdout);
        return app.exec();
    }
    QFile marker(QDir::current().filePath(QStringLiteral("started")));
    if (!marker.open(QIODevice::WriteOnly))
        return 1;
    marker.write(QCoreApplication::applicationFilePath().toUtf8());
    return 0;
}
