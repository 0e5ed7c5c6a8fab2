#include "fileservice.h"

#include "devserver.h"
#include "rangedfile.h"
#include "signer.h"
#include "zipwriter.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace {

// Hashed here with Qt, independently of the launcher's own digest code.
QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QString encodePath(const QString &relativePath)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(relativePath, "/"));
}

// A request path below a prefix, as a path relative to the served folder; empty when it would
// leave the folder.
QString servedRelativePath(const QString &requestPath, const QString &prefix)
{
    const QString relative = requestPath.mid(prefix.size() + 1);
    if (relative.isEmpty() || relative.contains(QLatin1Char('\\')) ||
        relative.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QString();
    return relative;
}

class FileService
{
public:
    FileService(DevServer &server, const FileServiceOptions &options)
        : server(server), options(options)
    {}

    bool prepareBaseClient(QString *error);
    DevServer::Reply manifest();
    DevServer::Reply manifestSignature();
    DevServer::Reply file(const DevServer::Request &request) const;
    DevServer::Reply baseClient(const DevServer::Request &request) const
    {
        return rangedFileReply(request, baseClientZip);
    }

private:
    struct Digest
    {
        qint64 size = -1;
        QDateTime modified;
        QString sha256;
    };

    QString cachedSha256(const QFileInfo &info);

    DevServer &server;
    const FileServiceOptions options;
    QHash<QString, Digest> digests;
    std::unique_ptr<QTemporaryDir> workDir;
    QString baseClientZip;
    // The bytes last served as the manifest: its signature must cover exactly these.
    QByteArray lastManifest;
};

QString FileService::cachedSha256(const QFileInfo &info)
{
    Digest &digest = digests[info.absoluteFilePath()];
    if (digest.size != info.size() || digest.modified != info.lastModified() ||
        digest.sha256.isEmpty()) {
        digest = {info.size(), info.lastModified(), sha256Of(info.absoluteFilePath())};
    }
    return digest.sha256;
}

bool FileService::prepareBaseClient(QString *error)
{
    const QFileInfo source(options.baseClientSource);
    if (source.isFile()) {
        baseClientZip = source.absoluteFilePath();
        return true;
    }
    if (!source.isDir()) {
        if (error)
            *error = QStringLiteral("No base client at %1").arg(options.baseClientSource);
        return false;
    }

    workDir = std::make_unique<QTemporaryDir>();
    baseClientZip = workDir->filePath(QStringLiteral("l2_base_client.zip"));
    ZipWriter zip(baseClientZip);
    bool ok = workDir->isValid() && zip.open();
    const QDir root(source.absoluteFilePath());
    QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (ok && it.hasNext()) {
        const QString path = it.next();
        ok = zip.addFileFrom(root.relativeFilePath(path), path);
    }
    ok = ok && zip.close();
    if (!ok && error)
        *error = QStringLiteral("Cannot build the base client: %1").arg(zip.errorString());
    return ok;
}

DevServer::Reply FileService::manifest()
{
    const QDir root(options.filesDirectory);
    QStringList paths;
    if (!options.filesDirectory.isEmpty()) {
        QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            paths.append(root.relativeFilePath(it.next()));
        paths.sort();
    }

    const QString filesUrl = server.rootUrl() + options.filesPrefix + QLatin1Char('/');
    QJsonArray files;
    for (const QString &path : qAsConst(paths)) {
        const QFileInfo info(root.filePath(path));
        files.append(QJsonObject{{"path", path},
                                 {"size", double(info.size())},
                                 {"sha256", cachedSha256(info)},
                                 {"url", filesUrl + encodePath(path)}});
    }

    QJsonObject document{{"version", options.version}, {"files", files}};
    if (!baseClientZip.isEmpty()) {
        const QFileInfo zip(baseClientZip);
        document.insert("base_client",
                        QJsonObject{{"url", server.rootUrl() + options.baseClientPath},
                                    {"sha256", cachedSha256(zip)},
                                    {"size", double(zip.size())}});
    }
    if (!options.signer)
        return DevServer::Reply::json(document);
    document.insert("published", double(QDateTime::currentSecsSinceEpoch()));
    DevServer::Reply reply;
    reply.body = QJsonDocument(document).toJson(QJsonDocument::Compact);
    lastManifest = reply.body;
    return reply;
}

DevServer::Reply FileService::manifestSignature()
{
    if (lastManifest.isEmpty())
        manifest();
    DevServer::Reply reply;
    reply.body = options.signer->sign(lastManifest);
    reply.contentType = "application/octet-stream";
    return reply;
}

DevServer::Reply FileService::file(const DevServer::Request &request) const
{
    const QString relative = servedRelativePath(request.path, options.filesPrefix);
    const QFileInfo info(QDir(options.filesDirectory).filePath(relative));
    if (options.filesDirectory.isEmpty() || relative.isEmpty() || !info.isFile())
        return DevServer::Reply::notFound();
    return rangedFileReply(request, info.absoluteFilePath());
}

} // namespace

bool installFileService(DevServer &server, const FileServiceOptions &options, QString *error)
{
    auto service = std::make_shared<FileService>(server, options);
    if (!options.baseClientSource.isEmpty() && !service->prepareBaseClient(error))
        return false;

    server.addRoute("GET", options.manifestPath,
                    [service](const DevServer::Request &) { return service->manifest(); });
    if (options.signer) {
        server.addRoute(
            "GET", options.manifestPath + QStringLiteral(".sig"),
            [service](const DevServer::Request &) { return service->manifestSignature(); });
    }
    server.addRoute(
        "GET", options.filesPrefix + QStringLiteral("/*"),
        [service](const DevServer::Request &request) { return service->file(request); });
    if (!options.baseClientSource.isEmpty()) {
        server.addRoute(
            "GET", options.baseClientPath,
            [service](const DevServer::Request &request) { return service->baseClient(request); });
    }
    return true;
}
