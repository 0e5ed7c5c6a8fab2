#include "app/autoupdater.h"

#include "core/filedigest.h"
#include "core/logger.h"
#include "deployment.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

namespace {
// The reply holds at most this much before the data is written out, so a large executable never
// sits in memory whole.
constexpr qint64 readBufferSize = 1 << 20;

void logLine(LogLevel level, const QString &message)
{
    Logger::instance().log(level, QStringLiteral("[AutoUpdater] ") + message);
}
} // namespace

std::optional<PublishedRelease> decodeVersionInfo(const QByteArray &body, const QString &digestKey,
                                                  QString *problem)
{
    const QJsonDocument response = QJsonDocument::fromJson(body);
    if (!response.isObject()) {
        *problem = QStringLiteral("Invalid GitHub API response");
        return std::nullopt;
    }
    QJsonObject version = response.object();
    if (version.contains(QLatin1String("content"))) {
        QString content = version.value(QLatin1String("content")).toString();
        content.remove(QLatin1Char('\n'));
        const QJsonDocument decoded =
            QJsonDocument::fromJson(QByteArray::fromBase64(content.toUtf8()));
        if (!decoded.isObject()) {
            *problem = QStringLiteral("Invalid version.json content");
            return std::nullopt;
        }
        version = decoded.object();
    }
    return PublishedRelease{version.value(QLatin1String("version")).toString(),
                            version.value(digestKey).toString()};
}

ReleaseChannel ReleaseChannel::deployed()
{
    ReleaseChannel channel;
    channel.apiBase = QString::fromUtf8(deployment::releaseApiBase);
    channel.rawBase = QString::fromUtf8(deployment::releaseRawBase);
    channel.repository = QString::fromUtf8(deployment::releaseRepository);
#ifdef Q_OS_WIN
    channel.releaseFile = QStringLiteral("Wardgate.exe");
    channel.digestKey = QStringLiteral("exe_hash");
    channel.newFileName = QStringLiteral("Wardgate.exe.new");
#else
    channel.releaseFile = QStringLiteral("Wardgate");
    channel.digestKey = QStringLiteral("exe_hash_linux");
    channel.newFileName = QStringLiteral("Wardgate.new");
#endif
    return channel;
}

AutoUpdater::AutoUpdater(const ReleaseChannel &channel, const QString &executablePath,
                         QObject *parent)
    : QObject(parent), channel(channel), runningExecutable(executablePath),
      network(new QNetworkAccessManager(this))
{}

QString AutoUpdater::newExePath() const
{
    return QFileInfo(runningExecutable).absolutePath() + QLatin1Char('/') + channel.newFileName;
}

void AutoUpdater::checkForUpdates()
{
    logLine(Info, QStringLiteral("Checking for updates..."));
    QNetworkRequest request(QUrl(QStringLiteral("%1/repos/%2/contents/version.json?ref=main")
                                     .arg(channel.apiBase, channel.repository)));
    request.setTransferTimeout(channel.versionCheckTimeoutMs);
    request.setRawHeader("User-Agent", "Wardgate");
    request.setRawHeader("Accept", "application/vnd.github.v3+json");
    QNetworkReply *reply = network->get(request);
    connect(reply, &QNetworkReply::finished, this, &AutoUpdater::onVersionCheckReply);
}

void AutoUpdater::onVersionCheckReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (reply->error() != QNetworkReply::NoError) {
        logLine(Warn, QStringLiteral("Version check failed: %1").arg(reply->errorString()));
        emit noUpdateAvailable();
        return;
    }

    QString problem;
    const std::optional<PublishedRelease> release =
        decodeVersionInfo(reply->readAll(), channel.digestKey, &problem);
    if (!release) {
        logLine(Warn, problem);
        emit noUpdateAvailable();
        return;
    }
    publishedDigest = release->digest;
    publishedVersion = release->version;
    const QString localDigest = fileSha256(runningExecutable);
    logLine(Info, QStringLiteral("Local: %1, Remote: %2").arg(localDigest, publishedDigest));

    if (localDigest == publishedDigest) {
        logLine(Info, QStringLiteral("Launcher is up to date"));
        emit noUpdateAvailable();
        return;
    }

    logLine(Info, QStringLiteral("Update available: v%1").arg(publishedVersion));
    emit updateAvailable(publishedVersion);
    startDownload();
}

void AutoUpdater::startDownload()
{
    download = new QSaveFile(newExePath(), this);
    downloadedBytes = 0;
    if (!download->open(QIODevice::WriteOnly)) {
        delete download;
        download = nullptr;
        logLine(Error, QStringLiteral("Cannot write update file"));
        emit updateError(QStringLiteral("Cannot write update file"));
        return;
    }

    const QString rawUrl = QStringLiteral("%1/%2/main/%3")
                               .arg(channel.rawBase, channel.repository, channel.releaseFile);
    // The query defeats caches between us and the raw-file host.
    QNetworkRequest request(
        QUrl(QStringLiteral("%1?t=%2").arg(rawUrl).arg(QDateTime::currentSecsSinceEpoch())));
    request.setTransferTimeout(channel.downloadTimeoutMs);
    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::downloadProgress, this, &AutoUpdater::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &AutoUpdater::onDownloadReadyRead);
    connect(reply, &QNetworkReply::finished, this, &AutoUpdater::onDownloadReply);
}

void AutoUpdater::onDownloadReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || !download || download->error() != QFileDevice::NoError)
        return;
    const QByteArray chunk = reply->readAll();
    // An error page is not worth writing; onDownloadReply reports it.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
        return;
    if (download->write(chunk) != chunk.size()) {
        reply->abort();
        return;
    }
    downloadedBytes += chunk.size();
}

void AutoUpdater::onDownloadReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (download->error() != QFileDevice::NoError) {
        logLine(Error, QStringLiteral("Cannot write update file"));
        rejectDownload(QStringLiteral("Cannot write update file"));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        logLine(Error, QStringLiteral("Download failed: %1").arg(reply->errorString()));
        rejectDownload(QStringLiteral("Failed to download update"));
        return;
    }

    const QByteArray rest = reply->readAll();
    const bool written = download->write(rest) == rest.size() && download->commit();
    delete download;
    download = nullptr;
    if (!written) {
        logLine(Error, QStringLiteral("Cannot write update file"));
        emit updateError(QStringLiteral("Cannot write update file"));
        return;
    }
    downloadedBytes += rest.size();

    // A truncated or altered download must never replace a working launcher, and a digest that
    // cannot match (wrong case, wrong file) would otherwise update and restart on every start.
    const QString path = newExePath();
    const QString downloadedDigest = fileSha256(path);
    if (downloadedDigest != publishedDigest) {
        QFile::remove(path);
        logLine(Error, QStringLiteral("Downloaded file does not match the published digest "
                                      "(got %1, expected %2)")
                           .arg(downloadedDigest, publishedDigest));
        emit updateError(QStringLiteral("Failed to download update"));
        return;
    }

    logLine(Info, QStringLiteral("Downloaded %1 bytes to %2").arg(downloadedBytes).arg(path));
    emit updateDownloaded(path);
}

void AutoUpdater::rejectDownload(const QString &error)
{
    download->cancelWriting();
    delete download;
    download = nullptr;
    emit updateError(error);
}
