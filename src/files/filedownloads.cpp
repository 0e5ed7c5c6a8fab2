// FileManager: the download engine. Each file goes to "<name>.tmp" beside its final place, is
// checked by size and SHA-256 there and only then renamed into place (VerifiedTransfer); a failed
// file is tried again after a pause, three attempts in all, then skipped. A broken transfer keeps
// its part, and the retry (or the next run) asks only for the rest.

#include "files/filemanager.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "core/networkpool.h"
#include "files/verifiedtransfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtNumeric>

#include <limits>

namespace {

constexpr int maxAttempts = 3;

QString temporaryPath(const QString &fullPath)
{
    return temporaryPathFor(fullPath);
}

} // namespace

void FileManager::startDownload()
{
    Logger &log = Logger::instance();
    if (filesToDownload.isEmpty()) {
        log.log(Info, QStringLiteral("No files to download"));
        emit allFilesReady();
        return;
    }

    totalFiles = filesToDownload.size();
    completedFiles = 0;
    totalBytes = 0;
    // Each size is at most 2^63 - 1, their sum need not be: a hostile manifest must not wrap it.
    for (const FileEntry &entry : qAsConst(filesToDownload)) {
        if (qAddOverflow(totalBytes, entry.size, &totalBytes)) {
            totalBytes = std::numeric_limits<qint64>::max();
            break;
        }
    }
    downloadedBytes = 0;
    skippedFiles.clear();
    writeFailure.clear();
    readyFolders.clear();
    batchRunning = true;
    log.log(Info, QStringLiteral("Starting download of %1 files (%2 MB)")
                      .arg(QString::number(totalFiles),
                           QString::number(double(totalBytes) / 1024 / 1024, 'f', 2)));

    // A setting below 1 would start nothing, and the batch would never end.
    const int threads = qMax(1, LauncherConfig::instance().maxDownloadThreads);
    const int starts = qMin(int(filesToDownload.size()), threads);
    for (int i = 0; i < starts; ++i)
        startNextDownload();
}

void FileManager::startNextDownload()
{
    // A file that cannot even be written is given up at once and the next one tried, in a loop:
    // an unwritable game folder must not cost a call frame per file of the manifest.
    while (!filesToDownload.isEmpty()) {
        if (startTransfer(filesToDownload.takeFirst()))
            return;
    }
    // A retry waiting in its timer is still part of the batch.
    if (batchRunning && activeTransfers.isEmpty() && pendingRetries == 0)
        finishBatch();
}

bool FileManager::startTransfer(const FileEntry &entry)
{
    Logger &log = Logger::instance();
    const QString fullPath = localPath(entry.path);
    const QString folder = QFileInfo(fullPath).absolutePath();
    const bool folderReady = readyFolders.contains(folder) || QDir().mkpath(folder);
    if (folderReady)
        readyFolders.insert(folder);
    log.log(Info, QStringLiteral("Downloading: %1 (%2 KB)")
                      .arg(entry.path, QString::number(double(entry.size) / 1024, 'f', 2)));

    TransferTarget target;
    target.url = QUrl(entry.url);
    target.name = entry.path;
    target.partPath = temporaryPath(fullPath);
    target.finalPath = fullPath;
    target.size = entry.size;
    target.sha256 = entry.sha256;
    target.userAgent = userAgent;
    target.resumable = true;
    auto *transfer = new VerifiedTransfer(gameFileNetworks->acquire(), target, this);
    connect(transfer, &VerifiedTransfer::progress, this, &FileManager::onFileDownloadProgress);
    connect(transfer, &VerifiedTransfer::finished, this, &FileManager::onFileDownloadFinished);
    activeTransfers.insert(transfer, entry);
    transferReceived.insert(transfer, 0);
    if (transfer->start())
        return true;

    activeTransfers.remove(transfer);
    transferReceived.remove(transfer);
    gameFileNetworks->release(transfer->networkManager());
    const QString text = QStringLiteral("Cannot open temp file for writing: %1").arg(entry.path);
    log.log(Error, text);
    emit errorOccurred(text);
    if (writeFailure.isEmpty()) {
        writeFailure = QStringLiteral("Cannot write to %1: %2.")
                           .arg(QDir::toNativeSeparators(folder),
                                folderReady ? transfer->errorString()
                                            : QStringLiteral("the folder cannot be created"));
    }
    skippedFiles.append(entry.path);
    delete transfer;
    return false;
}

void FileManager::finishBatch()
{
    Logger &log = Logger::instance();
    batchRunning = false;
    if (skippedFiles.isEmpty()) {
        log.log(Info, QStringLiteral("All files downloaded successfully!"));
        emit allFilesReady();
        return;
    }
    const int skipped = int(skippedFiles.size());
    log.log(Error, QStringLiteral("Download incomplete: %1 of %2 files could not be downloaded")
                       .arg(QString::number(skipped), QString::number(totalFiles)));
    QString text = QStringLiteral("Download failed: %1 %2 could not be downloaded.")
                       .arg(QString::number(skipped),
                            skipped == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    if (!writeFailure.isEmpty())
        text += QLatin1Char(' ') + writeFailure;
    emit downloadFailed(text);
}

void FileManager::onFileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal) // the manifest's sizes make the total, not the server's
    auto *transfer = qobject_cast<VerifiedTransfer *>(sender());
    if (!transfer || !activeTransfers.contains(transfer))
        return;
    downloadedBytes += bytesReceived - transferReceived.value(transfer);
    transferReceived.insert(transfer, bytesReceived);
    emitDownloadProgress();
}

void FileManager::emitDownloadProgress()
{
    // A body longer than the manifest says may run past the total until it fails its check.
    const qint64 shown = qBound(qint64(0), downloadedBytes, totalBytes);
    const int percent = totalBytes <= 0 ? 0 : int(shown * 100 / totalBytes);
    emit downloadProgress(percent, shown, totalBytes);
}

void FileManager::onFileDownloadFinished()
{
    auto *transfer = qobject_cast<VerifiedTransfer *>(sender());
    if (!transfer || !activeTransfers.contains(transfer))
        return;
    transfer->deleteLater();
    gameFileNetworks->release(transfer->networkManager());
    const FileEntry entry = activeTransfers.take(transfer);
    const qint64 received = transferReceived.take(transfer);

    switch (transfer->outcome()) {
    case VerifiedTransfer::Outcome::Completed:
        makeRunnableIfGame(entry, localPath(entry.path));
        ++completedFiles;
        suspectFiles.remove(entry.path);
        Logger::instance().log(Info, QStringLiteral("Downloaded and verified: %1 (%2/%3)")
                                         .arg(entry.path, QString::number(completedFiles),
                                              QString::number(totalFiles)));
        emit fileDownloadComplete(entry.path);
        break;
    case VerifiedTransfer::Outcome::Cancelled:
        downloadedBytes -= received;
        return;
    default:
        if (transfer->outcome() == VerifiedTransfer::Outcome::Mismatch) {
            const qint64 size = transfer->receivedSize();
            Logger::instance().log(
                Debug,
                size != entry.size
                    ? QStringLiteral("Size mismatch for %1: expected %2, got %3")
                          .arg(entry.path, QString::number(entry.size), QString::number(size))
                    : QStringLiteral("Hash mismatch for %1").arg(entry.path));
        }
        // A failed attempt's bytes come out of the batch's count again (a part kept for the
        // next attempt comes back in when it resumes), so progress never runs past the total.
        downloadedBytes -= received;
        emitDownloadProgress();
        handleDownloadFailure(entry, transfer->errorString());
    }
    startNextDownload();
}

void FileManager::cancelDownloads()
{
    if (!batchRunning)
        return;
    batchRunning = false;
    filesToDownload.clear();
    // Retries waiting in their timer see the new generation and do nothing.
    ++batchGeneration;
    pendingRetries = 0;
    const QList<VerifiedTransfer *> transfers = activeTransfers.keys();
    for (VerifiedTransfer *transfer : transfers)
        transfer->cancel();
    Logger::instance().log(Info, QStringLiteral("Download cancelled"));
}

void FileManager::handleDownloadFailure(FileEntry entry, QString error)
{
    Logger &log = Logger::instance();
    entry.attempts += 1;

    if (entry.attempts >= maxAttempts) {
        log.log(Error, QStringLiteral("Skipping %1 after %2 failed attempts: %3")
                           .arg(entry.path, QString::number(maxAttempts), error));
        emit errorOccurred(QStringLiteral("Skipped (too many errors): %1").arg(entry.path));
        ++completedFiles;
        skippedFiles.append(entry.path);
        return;
    }

    log.log(Warn, QStringLiteral("Retry %1/%2 for %3 in %4s: %5")
                      .arg(QString::number(entry.attempts), QString::number(maxAttempts),
                           entry.path, QString::number(retryDelayMs / 1000), error));
    ++pendingRetries;
    // A coarse timer may fire up to 5 % early; the pause is a promise to the server.
    QTimer::singleShot(retryDelayMs, Qt::PreciseTimer, this,
                       [this, entry, generation = batchGeneration] {
                           if (generation != batchGeneration)
                               return;
                           --pendingRetries;
                           filesToDownload.prepend(entry);
                           startNextDownload();
                       });
}

// The server's bytes carry no file mode: the program that PLAY starts must be runnable by its
// owner. Windows runs a file by its name, so there is nothing to do there.
void FileManager::makeRunnableIfGame(const FileEntry &entry, const QString &path) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(entry)
    Q_UNUSED(path)
#else
    const QString executable = LauncherConfig::instance().gameExecutable;
    if (executable.isEmpty() || QDir::cleanPath(entry.path) != QDir::cleanPath(executable))
        return;
    if (!QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser))
        Logger::instance().log(Warn, QStringLiteral("Cannot make %1 executable").arg(entry.path));
#endif
}
