#include "app/autoupdater.h"

#include "core/filedigest.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "deployment.h"
#include "net/documentfetch.h"
#include "net/verifiedtransfer.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QVersionNumber>

namespace {
// What the contents endpoint answers with, the file as base64 with a few lines of metadata:
// version.json holds a version and digests, its signature some 100 bytes.
constexpr qint64 versionInfoLimit = 1024 * 1024;
constexpr qint64 signatureLimit = 64 * 1024;

void logLine(LogLevel level, const QString &message)
{
    Logger::instance().log(level, QStringLiteral("[AutoUpdater] ") + message);
}
} // namespace

std::optional<PublishedRelease> decodeVersionInfo(const QByteArray &body, const QString &digestKey,
                                                  QString *problem, QByteArray *document)
{
    const QJsonDocument response = QJsonDocument::fromJson(body);
    if (!response.isObject()) {
        *problem = QStringLiteral("Invalid GitHub API response");
        return std::nullopt;
    }
    QJsonObject version = response.object();
    if (document)
        *document = body;
    if (version.contains(QLatin1String("content"))) {
        QString content = version.value(QLatin1String("content")).toString();
        content.remove(QLatin1Char('\n'));
        const QByteArray bytes = QByteArray::fromBase64(content.toUtf8());
        const QJsonDocument decoded = QJsonDocument::fromJson(bytes);
        if (!decoded.isObject()) {
            *problem = QStringLiteral("Invalid version.json content");
            return std::nullopt;
        }
        version = decoded.object();
        if (document)
            *document = bytes;
    }
    return PublishedRelease{version.value(QLatin1String("version")).toString(),
                            version.value(digestKey).toString()};
}

QByteArray decodeContentsFile(const QByteArray &body)
{
    const QJsonDocument response = QJsonDocument::fromJson(body);
    const QJsonValue content = response.object().value(QLatin1String("content"));
    if (!response.isObject() || !content.isString())
        return body;
    return QByteArray::fromBase64(content.toString().remove(QLatin1Char('\n')).toUtf8());
}

ReleaseChannel ReleaseChannel::deployed()
{
    ReleaseChannel channel;
    channel.apiBase = QString::fromUtf8(deployment::releaseApiBase);
    channel.rawBase = QString::fromUtf8(deployment::releaseRawBase);
    channel.repository = QString::fromUtf8(deployment::releaseRepository);
    channel.signingKeys = LauncherConfig::instance().signingKeys;
    channel.runningVersion = QString::fromUtf8(deployment::version);
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
    getContents(QStringLiteral("version.json"), versionInfoLimit,
                &AutoUpdater::onVersionCheckReply);
}

void AutoUpdater::getContents(const QString &file, qint64 sizeLimit,
                              void (AutoUpdater::*onFetched)())
{
    DocumentRequest request;
    request.url = QUrl(QStringLiteral("%1/repos/%2/contents/%3?ref=main")
                           .arg(channel.apiBase, channel.repository, file));
    request.name = FailureText::verbatim(file);
    request.userAgent = "Wardgate";
    request.headers = {{"Accept", "application/vnd.github.v3+json"}};
    request.sizeLimit = sizeLimit;
    request.silenceLimitMs = channel.versionCheckTimeoutMs;
    // The deadline, far shorter than the low-speed rule's window, also ends a drip.
    request.deadlineMs = channel.versionCheckDeadlineMs;
    auto *fetch = new DocumentFetch(network, request, this);
    connect(fetch, &DocumentFetch::finished, this, onFetched);
    fetch->start();
}

void AutoUpdater::onVersionCheckReply()
{
    auto *fetch = qobject_cast<DocumentFetch *>(sender());
    if (!fetch)
        return;
    fetch->deleteLater();

    if (!fetch->succeeded()) {
        logLine(Warn, QStringLiteral("Version check failed: %1").arg(fetch->failure().logged()));
        emit noUpdateAvailable();
        return;
    }

    QString problem;
    const std::optional<PublishedRelease> release =
        decodeVersionInfo(fetch->bytes(), channel.digestKey, &problem, &publishedDocument);
    if (!release) {
        logLine(Warn, problem);
        emit noUpdateAvailable();
        return;
    }
    publishedDigest = release->digest;
    publishedVersion = release->version;
    if (channel.signingKeys.isConfigured()) {
        getContents(QStringLiteral("version.json.sig"), signatureLimit,
                    &AutoUpdater::onSignatureReply);
        return;
    }
    considerRelease();
}

// A release that is not signed by a trusted key, or that would take the launcher back to an
// older version (a replayed release with a known fault), is no update: the running one stays.
void AutoUpdater::onSignatureReply()
{
    auto *fetch = qobject_cast<DocumentFetch *>(sender());
    if (!fetch)
        return;
    fetch->deleteLater();
    const QByteArray document = std::exchange(publishedDocument, QByteArray());

    QString refusal;
    if (!fetch->succeeded()) {
        refusal = QStringLiteral("version.json's signature cannot be fetched: %1")
                      .arg(fetch->failure().logged());
    } else if (channel.signingKeys.count() == 0) {
        refusal = QStringLiteral("no usable signing key (%1)").arg(channel.signingKeys.problem());
    } else if (!channel.signingKeys.verify(document, decodeContentsFile(fetch->bytes()))) {
        refusal = QStringLiteral("version.json's signature is invalid");
    } else {
        const QVersionNumber offered = QVersionNumber::fromString(publishedVersion);
        const QVersionNumber running = QVersionNumber::fromString(channel.runningVersion);
        if (offered.isNull())
            refusal = QStringLiteral("the signed version.json names no version");
        else if (offered < running)
            refusal = QStringLiteral("version %1 is older than the running %2")
                          .arg(publishedVersion, channel.runningVersion);
    }
    if (!refusal.isEmpty()) {
        logLine(Warn, QStringLiteral("Release refused: %1").arg(refusal));
        emit noUpdateAvailable();
        return;
    }
    logLine(Info, QStringLiteral("Release signature verified (version %1)").arg(publishedVersion));
    considerRelease();
}

void AutoUpdater::considerRelease()
{
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
    const QString rawUrl = QStringLiteral("%1/%2/main/%3")
                               .arg(channel.rawBase, channel.repository, channel.releaseFile);
    TransferTarget target;
    // The query defeats caches between us and the raw-file host.
    target.url =
        QUrl(QStringLiteral("%1?t=%2").arg(rawUrl).arg(QDateTime::currentSecsSinceEpoch()));
    target.partPath = newExePath() + QStringLiteral(".part");
    target.finalPath = newExePath();
    // A truncated or altered download must never replace a working launcher, and a digest that
    // cannot match (wrong case, none at all) would otherwise update and restart on every start.
    target.sha256 = publishedDigest;
    target.timeoutMs = channel.downloadTimeoutMs;
    download = new VerifiedTransfer(network, target, this);
    connect(download, &VerifiedTransfer::progress, this, &AutoUpdater::downloadProgress);
    connect(download, &VerifiedTransfer::finished, this, &AutoUpdater::onDownloadReply);
    if (!download->start()) {
        delete download;
        download = nullptr;
        fail(QStringLiteral("Cannot write update file"),
             QStringLiteral("Cannot write update file"));
    }
}

void AutoUpdater::onDownloadReply()
{
    VerifiedTransfer *transfer = download;
    if (!transfer)
        return;
    download = nullptr;
    transfer->deleteLater();

    switch (transfer->outcome()) {
    case VerifiedTransfer::Outcome::Completed:
        logLine(Info, QStringLiteral("Downloaded %1 bytes to %2")
                          .arg(transfer->receivedSize())
                          .arg(transfer->target().finalPath));
        emit updateDownloaded(transfer->target().finalPath);
        return;
    case VerifiedTransfer::Outcome::Mismatch:
        fail(QStringLiteral("Downloaded file does not match the published digest "
                            "(got %1, expected %2)")
                 .arg(transfer->receivedSha256(), publishedDigest),
             QStringLiteral("Failed to download update"));
        return;
    case VerifiedTransfer::Outcome::NetworkError:
    case VerifiedTransfer::Outcome::Cancelled:
        fail(QStringLiteral("Download failed: %1").arg(transfer->errorString()),
             QStringLiteral("Failed to download update"));
        return;
    default:
        fail(QStringLiteral("Cannot write update file"),
             QStringLiteral("Cannot write update file"));
    }
}

void AutoUpdater::fail(const QString &line, const QString &error)
{
    logLine(Error, line);
    emit updateError(error);
}
