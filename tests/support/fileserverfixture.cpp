#include "support/fileserverfixture.h"

#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

namespace testsupport {

FileServerFixture::FileServerFixture()
{
    QDir(root.path()).mkpath(QStringLiteral("served"));
    QDir(root.path()).mkpath(QStringLiteral("game"));
    QDir(root.path()).mkpath(QStringLiteral("scratch"));
}

bool FileServerFixture::start(const QString &baseClientSource)
{
    FileServiceOptions options;
    options.filesDirectory = servedDir();
    options.baseClientSource = baseClientSource;
    if (!root.isValid() || !installFileService(server, options) || !server.listenLoopback())
        return false;

    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = server.rootUrl() + options.manifestPath;
    config.gameDirectory = gameDir();
    config.filesBaseUrl.clear();
    config.filesMirrors.clear();
    config.maxDownloadThreads = 4;
    return true;
}

QString FileServerFixture::urlPath(const QString &relativePath)
{
    return QStringLiteral("/files/") + relativePath;
}

bool FileServerFixture::serve(const QString &relativePath, const QByteArray &content)
{
    return writeFile(servedDir() + QLatin1Char('/') + relativePath, content);
}

bool FileServerFixture::install(const QString &relativePath, const QByteArray &content)
{
    return writeFile(gameDir() + QLatin1Char('/') + relativePath, content);
}

QByteArray FileServerFixture::installed(const QString &relativePath) const
{
    QFile file(gameDir() + QLatin1Char('/') + relativePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int FileServerFixture::requestsFor(const QString &relativePath) const
{
    return int(server.recordedRequests(urlPath(relativePath)).size());
}

bool loadManifest(FileManager &manager)
{
    QSignalSpy done(&manager, &FileManager::manifestDownloaded);
    manager.downloadManifest();
    return done.wait(10000) && done.first().at(0).toBool();
}

bool verify(FileManager &manager)
{
    QSignalSpy done(&manager, &FileManager::verificationComplete);
    manager.verifyFiles();
    return done.wait(10000);
}

} // namespace testsupport
