#include "releaseservice.h"

#include "devserver.h"
#include "signer.h"

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

namespace {
// One file of the release branch as the contents endpoint answers for it.
DevServer::Reply contentsReply(const ReleaseServiceOptions &options, const QString &name,
                               const QByteArray &data)
{
    if (!options.contentsEnvelope) {
        DevServer::Reply plain;
        plain.body = data;
        return plain;
    }
    const QString rawUrl =
        QStringLiteral("/%1/%2/%3").arg(options.repository, options.branch, name);
    return DevServer::Reply::json({{"name", name},
                                   {"path", name},
                                   {"sha", blobSha(data)},
                                   {"size", data.size()},
                                   {"type", "file"},
                                   {"download_url", rawUrl},
                                   {"content", contentsBase64(data)},
                                   {"encoding", "base64"}});
}
} // namespace

void installReleaseService(DevServer &server, const ReleaseServiceOptions &options)
{
    const QString contentsPath =
        QStringLiteral("/repos/%1/contents/version.json").arg(options.repository);
    const auto onBranch = [options](const DevServer::Request &request, QString *ref) {
        *ref = request.query.queryItemValue(QStringLiteral("ref"));
        return !request.query.hasQueryItem(QStringLiteral("ref")) || *ref == options.branch;
    };
    server.addRoute("GET", contentsPath, [options, onBranch](const DevServer::Request &request) {
        QString ref;
        if (!onBranch(request, &ref))
            return DevServer::Reply::json({{"message", "No commit found for the ref " + ref}}, 404);
        return contentsReply(options, QStringLiteral("version.json"), versionDocument(options));
    });
    if (options.signer) {
        server.addRoute("GET", contentsPath + QStringLiteral(".sig"),
                        [options, onBranch](const DevServer::Request &request) {
                            QString ref;
                            if (!onBranch(request, &ref))
                                return DevServer::Reply::json(
                                    {{"message", "No commit found for the ref " + ref}}, 404);
                            return contentsReply(options, QStringLiteral("version.json.sig"),
                                                 options.signer->sign(versionDocument(options)));
                        });
    }

    const QString rawRoot = QStringLiteral("/%1/%2/").arg(options.repository, options.branch);
    const auto serveFile = [&server, &rawRoot](const QString &name, const QString &path) {
        server.addRoute("GET", rawRoot + name, [path](const DevServer::Request &) {
            return path.isEmpty() ? DevServer::Reply::notFound() : DevServer::Reply::file(path);
        });
    };
    serveFile(QStringLiteral("Wardgate.exe"), options.windowsExecutable);
    serveFile(QStringLiteral("Wardgate"), options.linuxExecutable);
}
