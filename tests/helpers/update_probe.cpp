// Stands in for a launcher in the self-update tests. "update_probe wait" stays alive until it is
// killed (the old launcher the update script waits for). Started without arguments, as the
// script starts a new launcher, it writes its own path into "started" in its working folder.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("wait"))
        return app.exec();
    QFile marker(QDir::current().filePath(QStringLiteral("started")));
    if (!marker.open(QIODevice::WriteOnly))
        return 1;
    marker.write(QCoreApplication::applicationFilePath().toUtf8());
    return 0;
}
