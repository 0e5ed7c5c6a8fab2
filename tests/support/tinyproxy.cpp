#include "support/tinyproxy.h"

#include "support/nginxserver.h"
#include "support/testsupport.h"

#include <QStandardPaths>

namespace testsupport {

Tinyproxy::~Tinyproxy()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool Tinyproxy::start()
{
    const QString program =
        QStandardPaths::findExecutable("tinyproxy", {"/usr/bin", "/usr/sbin", "/usr/local/bin"});
    if (program.isEmpty()) {
        error = QStringLiteral("tinyproxy is not installed (scripts/bootstrap installs it)");
        return false;
    }
    listenPort = NginxServer::freeLoopbackPort();
    const QString config = dir.filePath("tinyproxy.conf");
    if (!writeFile(config, QString("Port %1\nListen 127.0.0.1\nTimeout 60\nLogFile \"%2\"\n"
                                   "LogLevel Connect\nMaxClients 20\nAllow 127.0.0.1\n")
                               .arg(listenPort)
                               .arg(dir.filePath("tinyproxy.log"))
                               .toUtf8())) {
        error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    process.start(program, {"-d", "-c", config});
    if (!process.waitForStarted(5000)) {
        error = process.errorString();
        return false;
    }
    if (testsupport::waitUntilListening(process, listenPort))
        return true;
    error = QStringLiteral("tinyproxy does not take connections: %1")
                .arg(QString::fromLocal8Bit(process.readAllStandardError()));
    return false;
}

QString Tinyproxy::log() const
{
    return QString::fromUtf8(readFile(dir.filePath("tinyproxy.log")));
}

} // namespace testsupport
