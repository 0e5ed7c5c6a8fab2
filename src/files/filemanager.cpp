#include "files/filemanager.h"

#include "core/filedigest.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/downloadlanes.h"
#include "net/lowspeedguard.h"
#include "net/networkrequests.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>
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

FileManager::~FileManager()
{
    // A verification worker calls into this object and the log: let it finish before the members
    // go. Its queued result dies with this object.
    const auto workers = findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly);
    for (QThread *worker : workers)
        worker->wait();
}

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
}

void FileManager::cancelAll()
{
    ++workGeneration;
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

    if (!manifest.parse(reply->readAll())) {
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

    // The worker gets its own copies, so it reads nothing that the GUI thread may change.
    const QList<FileEntry> files = manifest.files;
    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    const QSet<QString> suspects = suspectFiles;
    const quint64 generation = workGeneration;
    QThread *worker = QThread::create([this, files, gameDirectory, suspects, generation] {
        QList<FileEntry> result;
        int missing = 0;
        int corrupted = 0;
        for (const FileEntry &entry : files) {
            const QString fullPath = gameDirectory + QLatin1Char('/') + entry.path;
            if (verifyFileAt(fullPath, entry, suspects.contains(entry.path)))
                continue;
            if (QFileInfo::exists(fullPath)) {
                ++corrupted;
                Logger::instance().log(Debug, QStringLiteral("Corrupted: %1").arg(entry.path));
            } else {
                ++missing;
                Logger::instance().log(Debug, QStringLiteral("Missing: %1").arg(entry.path));
            }
            result.append(entry);
        }
        QMetaObject::invokeMethod(
            this,
            [this, result, missing, corrupted, generation] {
                // A pass of work that has been cancelled since reports nothing.
                if (generation == workGeneration)
                    finishVerification(result, missing, corrupted);
            },
            Qt::QueuedConnection);
    });
    // A child, so the destructor can find and wait for it; it deletes itself once finished.
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void FileManager::finishVerification(const QList<FileEntry> &result, int missing, int corrupted)
{
    Logger &log = Logger::instance();
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
    return verifyFileAt(localPath(entry.path), entry, checkHash);
}

// The check behind verifyFile, for a file that may not be at its final place yet (a download's
// temporary file). Safe to call from the verification worker: it reads only its arguments.
bool FileManager::verifyFileAt(const QString &fullPath, const FileEntry &entry,
                               bool checkHash) const
{
    // One stat straight from the platform: a large game has tens of thousands of files, and
    // QFileInfo costs more than the stat itself.
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
