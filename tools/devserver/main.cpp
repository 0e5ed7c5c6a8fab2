#include "devserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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
    parser.addOption(portOption);
    parser.addOption(recordOption);
    parser.process(app);

    DevServer server;
    if (parser.isSet(recordOption))
        server.setRecordFile(parser.value(recordOption));
    if (!server.listenLoopback(parser.value(portOption).toUShort())) {
        QTextStream(stderr) << "Cannot listen on 127.0.0.1:" << parser.value(portOption) << "\n";
        return 1;
    }
    QTextStream(stdout) << "Dev server on " << server.rootUrl() << Qt::endl;
    return app.exec();
}
