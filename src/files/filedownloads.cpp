// FileManager: the download engine. Each file goes to "<name>.tmp" beside its final place, is
// checked by size and SHA-256 there and only then renamed into place; a failed file is tried
// again after a pause, three attempts in all, then skipped.

#include "files/filemanager.h"

#include "core/launcherconfig.h"
#include "core/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
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
    if (batchRunning && activeReplies.isEmpty() && pendingRetries == 0)
        finishBatch();
}

bool FileManager::startTransfer(const FileEntry &entry)
{
    Logger &log = Logger::instance();
    const QString fullPath = localPath(entry.path);
    const QString folder = QFileInfo(fullPath).absolutePath();
    const bool folderReady = QDir().mkpath(folder);
    log.log(Info, QStringLiteral("Downloading: %1 (%2 KB)")
                      .arg(entry.path, QString::number(double(entry.size) / 1024, 'f', 2)));

    auto *file = new QFile(temporaryPath(fullPath), this);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString text =
            QStringLiteral("Cannot open temp file for writing: %1").arg(entry.path);
        log.log(Error, text);
        emit errorOccurred(text);
        if (writeFailure.isEmpty()) {
            writeFailure = QStringLiteral("Cannot write to %1: %2.")
                               .arg(QDir::toNativeSeparators(folder),
                                    folderReady ? file->errorString()
                                                : QStringLiteral("the folder cannot be created"));
        }
        skippedFiles.append(entry.path);
        delete file;
        return false;
    }

    QNetworkReply *reply = networkManager->get(makeRequest(entry.url));
    reply->setReadBufferSize(downloadReadBufferSize);
    activeReplies.insert(reply);
    replyEntries.insert(reply, entry);
    replyReceived.insert(reply, 0);
    replyFiles.insert(reply, file);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileManager::onFileDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &FileManager::onFileDownloadReadyRead);
    connect(reply, &QNetworkReply::finished, this, &FileManager::onFileDownloadFinished);
    return true;
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

void FileManager::onFileDownloadReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    QFile *file = replyFiles.value(reply);
    if (!file || !file->isOpen())
        return;
    const QByteArray data = reply->readAll();
    if (file->write(data) != data.size()) {
        // Nothing more can land in this file: end the attempt now, not at the transfer time-out.
        Logger::instance().log(
            Warn, QStringLiteral("Cannot write %1: %2").arg(file->fileName(), file->errorString()));
        file->close();
        reply->abort();
    }
}

void FileManager::onFileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal) // the manifest's sizes make the total, not the server's
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || !replyEntries.contains(reply))
        return;
    downloadedBytes += bytesReceived - replyReceived.value(reply);
    replyReceived.insert(reply, bytesReceived);
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
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    activeReplies.remove(reply);
    const FileEntry entry = replyEntries.take(reply);
    const qint64 received = replyReceived.take(reply);
    QFile *file = replyFiles.take(reply);
    bool writeFailed = false;
    if (file) {
        // A file closed early had a failed write; otherwise the last bytes and the flush may fail.
        const QByteArray rest = file->isOpen() ? reply->readAll() : QByteArray();
        writeFailed = !file->isOpen() || file->write(rest) != rest.size() || !file->flush();
        delete file;
    }

    // A failed attempt's bytes come out of the batch's count again, so progress never runs past
    // the total.
    auto fail = [this, &entry, received](const QString &error) {
        downloadedBytes -= received;
        emitDownloadProgress();
        handleDownloadFailure(entry, error);
    };

    const QString fullPath = localPath(entry.path);
    const QString tempPath = temporaryPath(fullPath);
    if (writeFailed) {
        fail(QStringLiteral("cannot write %1").arg(tempPath));
    } else if (reply->error() != QNetworkReply::NoError) {
        fail(reply->errorString());
    } else if (!verifyFileAt(tempPath, entry, true)) {
        // Checked before the rename, so a wrong body never stands under the file's real name.
        fail(QStringLiteral("SHA256 mismatch"));
    } else {
        makeRunnableIfGame(entry, tempPath);
        QFile::remove(fullPath);
        if (!QFile::rename(tempPath, fullPath)) {
            fail(QStringLiteral("rename failed"));
        } else {
            ++completedFiles;
            suspectFiles.remove(entry.path);
            Logger::instance().log(Info, QStringLiteral("Downloaded and verified: %1 (%2/%3)")
                                             .arg(entry.path, QString::number(completedFiles),
                                                  QString::number(totalFiles)));
            emit fileDownloadComplete(entry.path);
        }
    }
    startNextDownload();
}

void FileManager::handleDownloadFailure(FileEntry entry, QString error)
{
    Logger &log = Logger::instance();
    QFile::remove(temporaryPath(localPath(entry.path)));
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
    QTimer::singleShot(retryDelayMs, Qt::PreciseTimer, this, [this, entry] {
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
