#include "files/filemanager.h"

#include "core/filedigest.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/digestcache.h"
#include "files/downloadlanes.h"
#include "files/parallelhasher.h"
#include "net/lowspeedguard.h"
#include "net/networkrequests.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace {
// A transfer that makes no progress for 30 s is aborted and finishes with an error.
constexpr int transferTimeoutMs = 30000;
} // namespace

FileManager::FileManager(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this)),
      lanes(new DownloadLanes(transferTimeoutMs, this)), outcomeTimer(new QTimer(this)),
      integrityTimer(new QTimer(this))
{
    // Often enough for a smooth progress bar, rarely enough to cost nothing.
    outcomeTimer->setInterval(25);
    connect(outcomeTimer, &QTimer::timeout, this, &FileManager::collectOutcomes);
    networkManager->setTransferTimeout(transferTimeoutMs);
    integrityTimer->setSingleShot(true);
    connect(integrityTimer, &QTimer::timeout, this, &FileManager::onIntegrityCheck);
}

// A verification pass still running is cancelled and waited for by its hasher, a child.
FileManager::~FileManager() = default;

QString FileManager::localPath(const QString &relativePath) const
{
    return LauncherConfig::instance().gameDirectory + QLatin1Char('/') + relativePath;
}

void FileManager::downloadManifest()
{
    const QString url = LauncherConfig::instance().manifestUrl;
    Logger::instance().log(Info, QStringLiteral("Downloading manifest from: %1").arg(url));
    if (manifestReply)
        dropManifestReply();
    signedManifestAccepted = false;
    manifestReply = networkManager->get(makeNetworkRequest(QUrl(url), userAgent));
    manifestAbortReason.clear();
    QNetworkReply *reply = manifestReply;
    const QPointer<LowSpeedGuard> speed = LowSpeedGuard::watch(reply, lowSpeedWindowMs);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) {
                if (received <= maxManifestBytes && total <= maxManifestBytes)
                    return;
                manifestAbortReason = tooLargeManifest();
                reply->abort();
            });
    connect(reply, &QNetworkReply::finished, this, [this, reply, speed] {
        if (speed && speed->tripped())
            manifestAbortReason = speed->reason();
        // Qt may hand over the last of a body only as the reply ends.
        else if (reply->bytesAvailable() > maxManifestBytes)
            manifestAbortReason = tooLargeManifest();
    });
    connect(manifestReply, &QNetworkReply::finished, this, &FileManager::onManifestReply);
}

QString FileManager::tooLargeManifest()
{
    return QStringLiteral("the manifest is larger than %1 MB")
        .arg(QString::number(maxManifestBytes / 1024 / 1024));
}

// The reply goes without a word: nobody waits for its outcome any longer.
void FileManager::dropManifestReply()
{
    manifestReply->disconnect(this);
    manifestReply->abort();
    manifestReply->deleteLater();
    manifestReply = nullptr;
    pendingManifest.clear();
}

void FileManager::cancelAll()
{
    stopVerification();
    if (manifestReply)
        dropManifestReply();
    filesToDownload.clear();
    cancelDownloads();
    cancelBaseClientInstall();
}

void FileManager::onManifestReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply == manifestReply)
        manifestReply = nullptr;

    Logger &log = Logger::instance();
    if (reply->error() != QNetworkReply::NoError || !manifestAbortReason.isEmpty()) {
        QString reason = reply->errorString();
        if (!manifestAbortReason.isEmpty())
            reason = manifestAbortReason;
        else if (reason.startsWith(QLatin1String("Decompression failed")))
            // Qt's own words, with nothing after them for a packed bomb.
            reason = QStringLiteral("the manifest's compressed form does not unpack to a "
                                    "sensible size");
        else if (reply->error() == QNetworkReply::OperationCanceledError)
            // Qt's transfer time-out calls itself a cancel.
            reason = QStringLiteral("the server sent nothing for %1 s")
                         .arg(networkManager->transferTimeout() / 1000);
        const QString text = QStringLiteral("Failed to download manifest: %1").arg(reason);
        log.log(Error, text);
        emit errorOccurred(text);
        emit manifestDownloaded(false, text);
        return;
    }

    const QByteArray document = reply->readAll();
    if (LauncherConfig::instance().signingKeys.isConfigured()) {
        fetchManifestSignature(document);
        return;
    }
    if (!manifest.parse(document)) {
        const QString text = QStringLiteral("Failed to parse manifest: %1").arg(manifest.error);
        log.log(Error, text);
        emit errorOccurred(text);
        emit manifestDownloaded(false, text);
        return;
    }
    // Entries that were all refused leave nothing to check or fetch: that is no usable manifest.
    if (manifest.files.isEmpty() && manifest.refusedEntries > 0) {
        const QString text =
            QStringLiteral("Manifest has no valid files: all %1 entries were refused")
                .arg(manifest.refusedEntries);
        log.log(Error, text);
        emit errorOccurred(text);
        emit manifestDownloaded(false, text);
        return;
    }
    log.log(Info,
            QStringLiteral("Manifest downloaded successfully (version: %1)").arg(manifest.version));
    emit manifestDownloaded(true, QStringLiteral("Version: %1").arg(manifest.version));
}

void FileManager::verifyFiles()
{
    Logger::instance().log(Info, QStringLiteral("Verifying local files..."));
    filesToDownload.clear();
    // A newer pass wins: whatever an older one finds, maybe over another folder, no longer holds.
    stopVerification();

    const QList<FileEntry> files = manifest.files;
    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    QList<HashJob> jobs;
    jobs.reserve(files.size());
    // A file the integrity monitor saw modified is read again, whatever its time says.
    for (const FileEntry &entry : files)
        jobs.append({entry.path, entry.size, !suspectFiles.contains(entry.path)});

    // One hasher for every pass: a new run waits until the last one has stored what it learnt,
    // so a pass right after another finds it in the cache.
    if (!verifier) {
        verifier = new ParallelHasher(this);
        connect(verifier, &ParallelHasher::progress, this, [this](qint64 done, qint64 total, int) {
            if (verifying)
                emit verificationProgress(done, total);
        });
        connect(verifier, &ParallelHasher::finished, this,
                [this](const QList<HashResult> &results, bool cancelled) {
                    if (!verifying)
                        return;
                    verifying = false;
                    if (!cancelled)
                        finishVerification(verifiedFiles, results);
                });
    }
    verifiedFiles = files;
    verifying = true;
    verifier->start(gameDirectory, jobs, DigestCache::defaultFile(gameDirectory));
}

// The running pass stops reading at the next block, and its hasher goes with whatever it would
// still report.
void FileManager::stopVerification()
{
    if (!verifying)
        return;
    verifying = false;
    delete verifier;
    verifier = nullptr;
}

void FileManager::finishVerification(const QList<FileEntry> &files,
                                     const QList<HashResult> &results)
{
    Logger &log = Logger::instance();
    QList<FileEntry> result;
    int missing = 0;
    int corrupted = 0;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const FileEntry &entry = files.at(i);
        const HashResult &found = results.at(i);
        if (found.outcome == HashResult::Hashed && found.sha256 == entry.sha256)
            continue;
        if (found.outcome == HashResult::Missing) {
            ++missing;
            log.log(Debug, QStringLiteral("Missing: %1").arg(entry.path));
        } else {
            if (found.outcome == HashResult::WrongSize)
                log.log(Debug, QStringLiteral("Size mismatch for %1: expected %2, got %3")
                                   .arg(entry.path, QString::number(entry.size),
                                        QString::number(found.size)));
            else if (found.outcome == HashResult::Unreadable)
                log.log(Warn,
                        QStringLiteral("Cannot open file for hash: %1").arg(localPath(entry.path)));
            else
                log.log(Debug, QStringLiteral("Hash mismatch for %1").arg(entry.path));
            ++corrupted;
            log.log(Debug, QStringLiteral("Corrupted: %1").arg(entry.path));
        }
        FileEntry queued = entry;
        queued.attempts = 0;
        result.append(queued);
    }

    filesToDownload = result;
    // A suspect file that passed its digest check is clean again.
    QSet<QString> stillWrong;
    for (const FileEntry &entry : result)
        stillWrong.insert(entry.path);
    suspectFiles.intersect(stillWrong);
    log.log(Info,
            QStringLiteral("Verification complete: %1 missing, %2 corrupted, %3 need download")
                .arg(QString::number(missing), QString::number(corrupted),
                     QString::number(filesToDownload.size())));
    // Decided before the signal: a receiver may start the download at once (the window does,
    // once the player agrees), which empties the queue, and that is no reason to report success.
    const bool upToDate = filesToDownload.isEmpty();
    emit verificationComplete(missing, corrupted);
    if (upToDate) {
        log.log(Info, QStringLiteral("All files are up to date!"));
        emit allFilesReady();
    }
}

bool FileManager::verifyFile(const FileEntry &entry, bool checkHash) const
{
    const QString fullPath = localPath(entry.path);
    // One stat straight from the platform: QFileInfo costs more than the stat itself.
    const auto stamp = platform::fileStamp(fullPath.toUtf8().toStdString());
    if (!stamp)
        return false;
    if (stamp->size != entry.size) {
        Logger::instance().log(
            Debug, QStringLiteral("Size mismatch for %1: expected %2, got %3")
                       .arg(entry.path, QString::number(entry.size), QString::number(stamp->size)));
        return false;
    }
    if (!checkHash)
        return true;
    const QString digest = calculateFileHash(fullPath);
    if (!digest.isEmpty() && digest == entry.sha256)
        return true;
    Logger::instance().log(Debug, QStringLiteral("Hash mismatch for %1").arg(entry.path));
    return false;
}

QString FileManager::calculateFileHash(const QString &fullPath) const
{
    QFile file(fullPath);
    if (!file.open(QIODevice::ReadOnly)) {
        Logger::instance().log(Warn, QStringLiteral("Cannot open file for hash: %1").arg(fullPath));
        return QString();
    }
    file.close();
    const QString digest = fileSha256(fullPath);
    if (digest.isEmpty())
        Logger::instance().log(Warn,
                               QStringLiteral("Failed to calculate hash for: %1").arg(fullPath));
    return digest;
}
