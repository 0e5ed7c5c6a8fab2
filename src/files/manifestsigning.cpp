// FileManager: the signed manifest. Where signing keys are configured, the manifest's bytes are
// held back until its signature (the same URL with ".sig" appended) has been fetched and checked;
// only then is the document parsed, its publication time checked against the newest one accepted
// before (from any URL), its expiry time against the clock, and taken. Nothing of a refused
// manifest reaches the file checks.

#include "files/filemanager.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/signedmanifest.h"
#include "net/networkrequests.h"

#include <QDateTime>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {
// A DER P-256 signature has at most 72 bytes; anything much longer is not one.
constexpr qint64 signatureSizeLimit = 4096;
} // namespace

void FileManager::fetchManifestSignature(const QByteArray &document)
{
    pendingManifest = document;
    const QUrl url = signedmanifest::signatureUrl(QUrl(LauncherConfig::instance().manifestUrl));
    Logger::instance().log(
        Info, QStringLiteral("Downloading manifest signature from: %1").arg(url.toString()));
    manifestReply = networkManager->get(makeNetworkRequest(url, userAgent));
    QNetworkReply *reply = manifestReply;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > signatureSizeLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, &FileManager::onManifestSignatureReply);
}

void FileManager::onManifestSignatureReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply == manifestReply)
        manifestReply = nullptr;
    const QByteArray document = std::exchange(pendingManifest, QByteArray());
    const QString url = reply->url().toString();
    const SigningKeys &keys = LauncherConfig::instance().signingKeys;

    QString detail;
    QString problem;
    if (reply->error() != QNetworkReply::NoError) {
        detail = reply->errorString();
        problem = signedmanifest::missingSignatureText();
    } else {
        problem = signedmanifest::signatureProblem(keys, document, reply->readAll(), &detail);
    }
    if (!problem.isEmpty()) {
        Logger::instance().log(
            Error, QStringLiteral("Manifest signature check failed for %1: %2").arg(url, detail));
        refuseManifest(problem);
        return;
    }
    acceptSignedManifest(document);
}

void FileManager::acceptSignedManifest(const QByteArray &document)
{
    Logger &log = Logger::instance();
    const QString url = LauncherConfig::instance().manifestUrl;
    // Parsed aside: a refused document must leave the accepted one in place.
    Manifest candidate = manifest;
    if (!candidate.parse(document)) {
        refuseManifest(QStringLiteral("Failed to parse manifest: %1").arg(candidate.error));
        return;
    }
    if (candidate.files.isEmpty() && candidate.refusedEntries > 0) {
        refuseManifest(QStringLiteral("Manifest has no valid files: all %1 entries were refused")
                           .arg(candidate.refusedEntries));
        return;
    }
    PublishedRecord record;
    QString detail;
    const QString problem = signedmanifest::freshnessProblem(
        candidate, QDateTime::currentSecsSinceEpoch(), record.newest(), &detail);
    if (!problem.isEmpty()) {
        log.log(Error, QStringLiteral("Signed manifest from %1 refused: %2").arg(url, detail));
        refuseManifest(problem);
        return;
    }
    if (!candidate.baseClient.url.isEmpty() && candidate.baseClient.sha256.isEmpty()) {
        log.log(Warn, QStringLiteral("Base client refused: the signed manifest gives it no "
                                     "\"sha256\""));
        candidate.baseClient = BaseClientInfo();
    }
    if (!record.raise(url, candidate.published))
        log.log(Warn, QStringLiteral("Cannot record the manifest's publication time in %1")
                          .arg(PublishedRecord::defaultPath()));
    manifest = candidate;
    signedManifestAccepted = true;
    log.log(Info, QStringLiteral("Manifest signature verified; manifest downloaded successfully "
                                 "(version: %1)")
                      .arg(manifest.version));
    emit manifestDownloaded(true, QStringLiteral("Version: %1").arg(manifest.version));
}

void FileManager::refuseManifest(const QString &text)
{
    Logger::instance().log(Error, text);
    emit errorOccurred(text);
    emit manifestDownloaded(false, text);
}

QString FileManager::gameProgramProblem(const QString &relativePath) const
{
    if (!LauncherConfig::instance().signingKeys.isConfigured())
        return QString();
    if (!signedManifestAccepted)
        return QStringLiteral("The game program cannot be checked: no signed manifest has been "
                              "accepted");
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    for (const FileEntry &entry : manifest.files) {
        if (QDir::cleanPath(entry.path).compare(relativePath, sensitivity) != 0)
            continue;
        if (!verifyFile(entry, true))
            return QStringLiteral("The game program %1 does not match the signed game files")
                .arg(relativePath);
        return QString();
    }
    return QStringLiteral("The game program %1 is not one of the signed game files")
        .arg(relativePath.isEmpty() ? QStringLiteral("(none named)") : relativePath);
}
