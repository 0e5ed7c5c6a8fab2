#include "files/filemanager.h"

#include "core/filedigest.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/baseclientinstaller.h"
#include "files/digestcache.h"
#include "files/downloadbatch.h"
#include "files/gamefilecheck.h"
#include "files/integritymonitor.h"
#include "files/manifestsignaturecheck.h"
#include "files/parallelhasher.h"
#include "net/documentfetch.h"
#include "net/speedlimit.h"
#include "platform/platform.h"

#include <QDir>
#include <QNetworkAccessManager>

#include <utility>

namespace {
// A transfer that makes no progress for 30 s is aborted and finishes with an error.
constexpr int transferTimeoutMs = 30000;
} // namespace

FileManager::FileManager(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this)),
      speedLimit(std::make_shared<SpeedLimit>()),
      batch(new DownloadBatch(transferTimeoutMs, userAgent, this)),
      monitor(new IntegrityMonitor(this)),
      baseClientInstaller(new BaseClientInstaller(networkManager, userAgent, this)),
      signatureCheck(new ManifestSignatureCheck(networkManager, userAgent, this))
{
    networkManager->setTransferTimeout(transferTimeoutMs);
    signatureCheck->setLowSpeedWindow(lowSpeedWindowMs);
    batch->setSpeedLimit(speedLimit);
    baseClientInstaller->setSpeedLimit(speedLimit);

    connect(batch, &DownloadBatch::downloadProgress, this, &FileManager::downloadProgress);
    connect(batch, &DownloadBatch::fileDownloadComplete, this, [this](const QString &path) {
        // A suspect file fetched anew is clean again.
        suspectFiles.remove(path);
        emit fileDownloadComplete(path);
    });
    // What landed was checked as it arrived: the next pass need not read it again. It is
    // remembered with the time it landed with, although a file hashed so recently is not (a
    // same-size write in the same clock tick could keep that time): nothing but the launcher
    // knows the file until it is renamed into place, just before its stamp is taken.
    connect(batch, &DownloadBatch::fileLanded, this,
            [this](const QString &path, const DigestCache::Entry &record) {
                landedFiles.append({path, record});
            });
    connect(batch, &DownloadBatch::allFilesReady, this, &FileManager::rememberLanded);
    connect(batch, &DownloadBatch::downloadFailed, this, &FileManager::rememberLanded);
    connect(batch, &DownloadBatch::allFilesReady, this, &FileManager::allFilesReady);
    connect(batch, &DownloadBatch::downloadFailed, this, &FileManager::downloadFailed);
    connect(batch, &DownloadBatch::errorOccurred, this, &FileManager::errorOccurred);
    connect(batch, &DownloadBatch::retryScheduled, this, &FileManager::retryScheduled);

    // The monitor's finding is handed to the next verification, which reads the file again
    // whatever its time says.
    connect(monitor, &IntegrityMonitor::violation, this, [this](const QString &path) {
        suspectFiles.insert(path);
        emit integrityViolation(path);
    });

    connect(baseClientInstaller, &BaseClientInstaller::downloadProgress, this,
            &FileManager::baseClientDownloadProgress);
    connect(baseClientInstaller, &BaseClientInstaller::extracting, this,
            &FileManager::baseClientExtracting);
    connect(baseClientInstaller, &BaseClientInstaller::installed, this,
            &FileManager::baseClientInstalled);
    connect(baseClientInstaller, &BaseClientInstaller::failed, this, &FileManager::baseClientError);

    connect(signatureCheck, &ManifestSignatureCheck::accepted, this,
            &FileManager::takeSignedManifest);
    connect(signatureCheck, &ManifestSignatureCheck::refused, this, &FileManager::refuseManifest);
}

// A verification pass still running is cancelled and waited for by its hasher, a child, which
// also finishes storing what landed.
FileManager::~FileManager()
{
    rememberLanded();
}

void FileManager::startDownload()
{
    batch->start(std::exchange(filesToDownload, QList<FileEntry>()));
}

void FileManager::cancelDownloads()
{
    if (!batch->isRunning())
        return;
    filesToDownload.clear();
    batch->cancel();
}

void FileManager::setRetryDelay(int milliseconds)
{
    batch->setRetryDelay(milliseconds);
}

void FileManager::setLowSpeedWindow(int milliseconds)
{
    lowSpeedWindowMs = milliseconds;
    batch->setLowSpeedWindow(milliseconds);
    baseClientInstaller->setLowSpeedWindow(milliseconds);
    signatureCheck->setLowSpeedWindow(milliseconds);
}

void FileManager::startIntegrityMonitor()
{
    monitor->start(manifest.files);
}

void FileManager::stopIntegrityMonitor()
{
    monitor->stop();
}

QString FileManager::baseClientArchivePath(const QString &url)
{
    return BaseClientInstaller::archivePathFor(url);
}

void FileManager::installBaseClient(const BaseClientInfo &info, const QString &installDir)
{
    baseClientInstaller->install(info, installDir);
}

void FileManager::cancelBaseClientInstall()
{
    baseClientInstaller->cancel();
}

void FileManager::downloadManifest()
{
    const QString url = LauncherConfig::instance().manifestUrl;
    Logger::instance().log(Info, QStringLiteral("Downloading manifest from: %1").arg(url));
    if (manifestFetch)
        dropManifestFetch();
    signatureCheck->cancel();
    signedManifestAccepted = false;
    DocumentRequest request;
    request.url = QUrl(url);
    request.name = FailureText("FileManager", "the manifest");
    request.userAgent = userAgent;
    request.sizeLimit = maxManifestBytes;
    request.lowSpeedWindowMs = lowSpeedWindowMs;
    request.deadlineMs = manifestDeadlineMs;
    manifestFetch = new DocumentFetch(networkManager, request, this);
    connect(manifestFetch, &DocumentFetch::finished, this, &FileManager::onManifestReply);
    manifestFetch->start();
}

// The fetch goes without a word: nobody waits for its outcome any longer.
void FileManager::dropManifestFetch()
{
    manifestFetch->disconnect(this);
    manifestFetch->cancel();
    manifestFetch->deleteLater();
    manifestFetch = nullptr;
}

void FileManager::cancelAll()
{
    stopVerification();
    if (manifestFetch)
        dropManifestFetch();
    signatureCheck->cancel();
    filesToDownload.clear();
    cancelDownloads();
    cancelBaseClientInstall();
}

void FileManager::onManifestReply()
{
    auto *fetch = qobject_cast<DocumentFetch *>(sender());
    if (!fetch)
        return;
    fetch->deleteLater();
    if (fetch == manifestFetch)
        manifestFetch = nullptr;

    if (!fetch->succeeded()) {
        refuseManifest(
            FailureText("FileManager", "Failed to download manifest: %1").arg(fetch->failure()));
        return;
    }
    // Handed on, not copied: a big manifest is held once, and only until it is parsed.
    QByteArray document = fetch->takeBytes();
    if (LauncherConfig::instance().signingKeys.isConfigured()) {
        signatureCheck->start(std::move(document), manifest);
        return;
    }
    if (!manifest.parse(std::move(document))) {
        refuseManifest(
            FailureText("FileManager", "Failed to parse manifest: %1").arg(manifest.error));
        return;
    }
    // Entries that were all refused leave nothing to check or fetch: that is no usable manifest.
    if (manifest.files.isEmpty() && manifest.refusedEntries > 0) {
        refuseManifest(
            FailureText("FileManager", "Manifest has no valid files: all %1 entries were refused")
                .arg(manifest.refusedEntries));
        return;
    }
    Logger::instance().log(
        Info,
        QStringLiteral("Manifest downloaded successfully (version: %1)").arg(manifest.version));
    emit manifestDownloaded(true, QStringLiteral("Version: %1").arg(manifest.version));
}

void FileManager::verifyFiles()
{
    Logger::instance().log(Info, QStringLiteral("Verifying local files..."));
    filesToDownload.clear();
    // A newer pass wins: whatever an older one finds, maybe over another folder, no longer holds.
    stopVerification();

    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    // What landed is stored first, so that this pass, which waits for it, finds it.
    rememberLanded();
    verifiedFiles = manifest.files;
    verifying = true;
    // A file the integrity monitor saw modified is read again, whatever its time says.
    verificationHasher()->start(gameDirectory, verifiedFiles,
                                DigestCache::defaultFile(gameDirectory), suspectFiles);
}

// One hasher for every pass: a new run waits until the last one has stored what it learnt, so a
// pass right after another finds it in the cache.
ParallelHasher *FileManager::verificationHasher()
{
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
    return verifier;
}

void FileManager::rememberLanded()
{
    if (landedFiles.isEmpty())
        return;
    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    verificationHasher()->remember(gameDirectory, manifest.files,
                                   DigestCache::defaultFile(gameDirectory),
                                   std::exchange(landedFiles, {}));
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
                log.log(
                    Warn,
                    QStringLiteral("Cannot open file for hash: %1").arg(gameFilePath(entry.path)));
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

void FileManager::takeSignedManifest(const Manifest &accepted)
{
    manifest = accepted;
    signedManifestAccepted = true;
    Logger::instance().log(Info, QStringLiteral("Manifest signature verified; manifest downloaded "
                                                "successfully (version: %1)")
                                     .arg(manifest.version));
    emit manifestDownloaded(true, QStringLiteral("Version: %1").arg(manifest.version));
}

void FileManager::refuseManifest(const FailureText &text)
{
    Logger::instance().log(Error, text.logged());
    emit errorOccurred(text.shown());
    emit manifestDownloaded(false, text.shown());
}

FailureText FileManager::gameProgramProblem(const QString &relativePath,
                                            platform::InputFile &program) const
{
    if (!LauncherConfig::instance().signingKeys.isConfigured())
        return FailureText();
    if (!signedManifestAccepted)
        return FailureText("FileManager", "The game program cannot be checked: no signed manifest "
                                          "has been accepted");
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    for (const FileEntry &entry : manifest.files) {
        if (QDir::cleanPath(entry.path).compare(relativePath, sensitivity) != 0)
            continue;
        const std::optional<platform::FileStamp> opened = program.stamp();
        if (!opened || opened->size != entry.size || fileSha256(program, {}) != entry.sha256)
            return FailureText("FileManager",
                               "The game program %1 does not match the signed game files")
                .arg(relativePath);
        return FailureText();
    }
    return FailureText("FileManager", "The game program %1 is not one of the signed game files")
        .arg(relativePath.isEmpty() ? FailureText("FileManager", "(none named)")
                                    : FailureText::verbatim(relativePath));
}

void FileManager::pauseDownloads()
{
    batch->pause();
    baseClientInstaller->pause();
}

void FileManager::resumeDownloads()
{
    batch->resume();
    baseClientInstaller->resume();
}

bool FileManager::downloadsPaused() const
{
    return batch->isPaused() || baseClientInstaller->isPaused();
}

void FileManager::setSpeedLimit(qint64 bytesPerSecond)
{
    speedLimit->setBytesPerSecond(bytesPerSecond);
}
