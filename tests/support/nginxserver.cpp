#include "support/nginxserver.h"

#include <QDir>
#include <QStandardPaths>
#include <QTcpServer>

#include "support/testsupport.h"

namespace testsupport {

quint16 NginxServer::freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

NginxServer::~NginxServer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool NginxServer::start(const QString &root, const NginxTls &tls)
{
    const quint16 freePort = freeLoopbackPort();
    const bool tlsOn = !tls.certificatePath.isEmpty();
    const QString server = QStringLiteral(R"(server {
    listen 127.0.0.1:%1%3;
    root "%2";
    %4
}
)")
                               .arg(freePort)
                               .arg(QDir(root).absolutePath())
                               .arg(tlsOn ? (tls.http2 ? " ssl http2" : " ssl") : "")
                               .arg(tlsOn ? QStringLiteral("ssl_certificate \"%1\"; "
                                                           "ssl_certificate_key \"%2\";")
                                                .arg(tls.certificatePath, tls.keyPath)
                                          : QString());
    https = tlsOn;
    return startServers(server, freePort);
}

bool NginxServer::startServers(const QString &servers, quint16 serverPort)
{
    const QString nginx = QStandardPaths::findExecutable(
        QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (nginx.isEmpty()) {
        error = QStringLiteral("nginx is not installed (scripts/bootstrap installs it)");
        return false;
    }
    port = serverPort;
    if (!prefix.isValid() || port == 0) {
        error = QStringLiteral("no temporary folder or free port for nginx");
        return false;
    }

    // The configuration the benchmarks use too, with these server blocks.
    QString config = QString::fromUtf8(
        readFile(QStringLiteral(WARDGATE_SOURCE_DIR "/tests/support/nginx.conf.in")));
    if (config.isEmpty()) {
        error = QStringLiteral("cannot read tests/support/nginx.conf.in");
        return false;
    }
    config.replace(QStringLiteral("@SERVERS@"), servers);
    QDir(prefix.path()).mkpath(QStringLiteral("tmp"));
    if (!writeFile(prefix.filePath(QStringLiteral("nginx.conf")), config.toUtf8())) {
        error = QStringLiteral("cannot write the nginx configuration");
        return false;
    }

    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(nginx,
                  {QStringLiteral("-p"), prefix.path() + QLatin1Char('/'), QStringLiteral("-c"),
                   QStringLiteral("nginx.conf"), QStringLiteral("-e"), QStringLiteral("stderr")});
    if (!process.waitForStarted(5000)) {
        error = QStringLiteral("nginx did not start: %1").arg(process.errorString());
        return false;
    }
    if (testsupport::waitUntilListening(process, port))
        return true;
    error = QStringLiteral("nginx did not answer on port %1").arg(port);
    return false;
}

QString NginxServer::accessLogPath() const
{
    return prefix.filePath(QStringLiteral("access.log"));
}

QString NginxServer::rootUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(https ? "https" : "http").arg(port);
}

} // namespace testsupport
