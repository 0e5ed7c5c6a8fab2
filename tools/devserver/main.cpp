#include "devserver.h"
#include "releaseservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wardgate-devserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Local auth service, game files and releases for Wardgate."));
    parser.addHelpOption();
    QCommandLineOption portOption(QStringLiteral("port"),
                                  QStringLiteral("Port on 127.0.0.1 (default 8091)."),
                                  QStringLiteral("port"), QStringLiteral("8091"));
    QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Append every request as a JSON line to this file."),
        QStringLiteral("file"));
    QCommandLineOption releaseOption(
        QStringLiteral("release-dir"),
        QStringLiteral("Publish the launcher release from this folder (Wardgate.exe, Wardgate)."),
        QStringLiteral("dir"));
    QCommandLineOption releaseVersionOption(QStringLiteral("release-version"),
                                            QStringLiteral("Published launcher version."),
                                            QStringLiteral("version"), QStringLiteral("1.0.17"));
    parser.addOption(portOption);
    parser.addOption(recordOption);
    parser.addOption(releaseOption);
    parser.addOption(releaseVersionOption);
    parser.process(app);

    DevServer server;
    if (parser.isSet(releaseOption)) {
        const QDir releaseDir(parser.value(releaseOption));
        ReleaseServiceOptions release;
        release.version = parser.value(releaseVersionOption);
        if (releaseDir.exists(QStringLiteral("Wardgate.exe")))
            release.windowsExecutable = releaseDir.absoluteFilePath(QStringLiteral("Wardgate.exe"));
        if (releaseDir.exists(QStringLiteral("Wardgate")))
            release.linuxExecutable = releaseDir.absoluteFilePath(QStringLiteral("Wardgate"));
        installReleaseService(server, release);
    }
    if (parser.isSet(recordOption))
        server.setRecordFile(parser.value(recordOption));
    if (!server.listenLoopback(parser.value(portOption).toUShort())) {
        QTextStream(stderr) << "Cannot listen on 127.0.0.1:" << parser.value(portOption) << "\n";
        return 1;
    }
    QTextStream(stdout) << "Dev server on " << server.rootUrl() << Qt::endl;
    return app.exec();
}
