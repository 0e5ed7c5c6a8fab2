#include "releaseservice.h"

#include "devserver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>

namespace {
QString sha256Hex(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray versionDocument(const ReleaseServiceOptions &options)
{
    QJsonObject document{{"version", options.version}};
    if (!options.windowsExecutable.isEmpty())
        document.insert("exe_hash", sha256Hex(options.windowsExecutable));
    if (!options.linuxExecutable.isEmpty())
        document.insert("exe_hash_linux", sha256Hex(options.linuxExecutable));
    for (auto it = options.overrides.begin(); it != options.overrides.end(); ++it) {
        if (it.value().isNull())
            document.remove(it.key());
        else
            document.insert(it.key(), it.value());
    }
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

// A git blob id, as the contents endpoint reports it in "sha".
QString blobSha(const QByteArray &data)
{
    const QByteArray header = "blob " + QByteArray::number(data.size()) + '\0';
    return QString::fromLatin1(
        QCryptographicHash::hash(header + data, QCryptographicHash::Sha1).toHex());
}
} // namespace

QString contentsBase64(const QByteArray &data)
{
    const QByteArray encoded = data.toBase64();
    QString wrapped;
    for (qsizetype at = 0; at < encoded.size(); at += 60)
        wrapped += QString::fromLatin1(encoded.mid(at, 60)) + QLatin1Char('\n');
    return wrapped;
}

void installReleaseService(DevServer &server, const ReleaseServiceOptions &options)
{
    const QString contentsPath =
        QStringLiteral("/repos/%1/contents/version.json").arg(options.repository);
    server.addRoute("GET", contentsPath, [options](const DevServer::Request &request) {
        const QString ref = request.query.queryItemValue(QStringLiteral("ref"));
        if (request.query.hasQueryItem(QStringLiteral("ref")) && ref != options.branch)
            return DevServer::Reply::json({{"message", "No commit found for the ref " + ref}}, 404);
        const QByteArray document = versionDocument(options);
        if (!options.contentsEnvelope) {
            DevServer::Reply plain;
            plain.body = document;
            return plain;
        }
        const QString rawUrl =
            QStringLiteral("/%1/%2/version.json").arg(options.repository, options.branch);
        return DevServer::Reply::json({{"name", "version.json"},
                                       {"path", "version.json"},
                                       {"sha", blobSha(document)},
                                       {"size", document.size()},
                                       {"type", "file"},
                                       {"download_url", rawUrl},
                                       {"content", contentsBase64(document)},
                                       {"encoding", "base64"}});
    });

    const QString rawRoot = QStringLiteral("/%1/%2/").arg(options.repository, options.branch);
    const auto serveFile = [&server, &rawRoot](const QString &name, const QString &path) {
        server.addRoute("GET", rawRoot + name, [path](const DevServer::Request &) {
            return path.isEmpty() ? DevServer::Reply::notFound() : DevServer::Reply::file(path);
        });
    };
    serveFile(QStringLiteral("Wardgate.exe"), options.windowsExecutable);
    serveFile(QStringLiteral("Wardgate"), options.linuxExecutable);
}
