// The download engine. Each file goes to "<name>.tmp" beside its final place, is
// checked by size and SHA-256 there and only then renamed into place (VerifiedTransfer); a failed
// file is tried again after a pause, three attempts in all, then skipped. A broken transfer keeps
// its part, and the retry (or the next run) asks only for the rest.

#include "files/downloadbatch.h"

#include "core/bytesize.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/downloadlanes.h"
#include "files/fileservers.h"
#include "files/gamefilecheck.h"
#include "net/diskwrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTimer>
#include <QtNumeric>

#include <limits>

namespace {
constexpr int maxAttempts = 3;
} // namespace

DownloadBatch::DownloadBatch(int transferTimeoutMs, const QByteArray &userAgent, QObject *parent)
    : QObject(parent), userAgent(userAgent), lanes(new DownloadLanes(transferTimeoutMs, this)),
      outcomeTimer(new QTimer(this)), servers(std::make_shared<FileServers>())
{
    // Often enough for a smooth progress bar, rarely enough to cost nothing.
    outcomeTimer->setInterval(25);
    connect(outcomeTimer, &QTimer::timeout, this, &DownloadBatch::collectOutcomes);
}

DownloadBatch::~DownloadBatch() = default;

void DownloadBatch::start(const QList<FileEntry> &files)
{
    Logger &log = Logger::instance();
    if (files.isEmpty()) {
        log.log(Info, QStringLiteral("No files to download"));
        // A running batch ends on its own; this call has added nothing to it.
        if (!batchRunning)
            emit allFilesReady();
        return;
    }

    const bool joining = batchRunning;
    if (!joining) {
        totalFiles = 0;
        completedFiles = 0;
        totalBytes = 0;
        downloadedBytes = 0;
        skippedFiles.clear();
        skipReasons.clear();
        writeFailure.clear();
        lanes->resetBytes();
        const LauncherConfig &config = LauncherConfig::instance();
        servers->reset(config.filesBaseUrl, config.filesMirrors);
    }
    QList<DownloadJob> jobs;
    jobs.reserve(files.size());
    qint64 addedBytes = 0;
    for (const FileEntry &entry : files) {
        // A file the batch fetches, waits to retry, has fetched or gave up on gets no second job.
        if (batchFiles.contains(entry.path))
            continue;
        batchFiles.insert(entry.path);
        FileEntry file = entry;
        file.server = servers->choose();
        jobs.append(jobFor(file));
        // Each size is at most 2^63 - 1, their sum need not be: a hostile manifest must not
        // wrap it.
        // What travels: a file the chunk store holds counts its chunks as stored.
        if (qAddOverflow(addedBytes, transferSize(entry), &addedBytes))
            addedBytes = std::numeric_limits<qint64>::max();
    }
    if (qAddOverflow(totalBytes, addedBytes, &totalBytes))
        totalBytes = std::numeric_limits<qint64>::max();
    totalFiles += int(jobs.size());
    batchRunning = true;
    if (joining) {
        log.log(Info, QStringLiteral("Adding %1 files (%2 MB) to the running download")
                          .arg(QString::number(jobs.size()),
                               bytesIn(addedBytes, ByteUnit::Megabytes, 2)));
    } else {
        log.log(Info,
                QStringLiteral("Starting download of %1 files (%2 MB)")
                    .arg(QString::number(totalFiles), bytesIn(totalBytes, ByteUnit::Megabytes, 2)));
    }

    if (paused) {
        for (const DownloadJob &job : qAsConst(jobs))
            pausedFiles.append(job.entry);
        return;
    }
    // A setting below 1 would start nothing, and the batch would never end.
    lanes->setParallelTransfers(qMax(1, LauncherConfig::instance().maxDownloadThreads));
    // The lanes refuse a path already queued or in flight as well.
    const int taken = lanes->add(jobs);
    if (taken < jobs.size())
        log.log(Info, QStringLiteral("%1 of these files are already downloading")
                          .arg(QString::number(jobs.size() - taken)));
    unfinishedJobs += taken;
    outcomeTimer->start();
}

DownloadJob DownloadBatch::jobFor(const FileEntry &entry) const
{
    const QString fullPath = gameFilePath(entry.path);
    DownloadJob job;
    job.entry = entry;
    job.target.url = QUrl(servers->url(entry.server, entry.path, entry.url));
    job.target.name = entry.path;
    job.target.partPath = temporaryPathFor(fullPath);
    job.target.finalPath = fullPath;
    job.target.size = entry.size;
    job.target.sha256 = entry.sha256;
    job.target.userAgent = userAgent;
    job.target.resumable = true;
    job.target.lowSpeedWindowMs = lowSpeedWindowMs;
    job.target.speedLimit = speedLimit;
    job.servers = servers;
    return job;
}

// Runs on a short timer while a batch runs: takes in what the lanes finished since the last time.
void DownloadBatch::collectOutcomes()
{
    const QList<DownloadOutcome> outcomes = lanes->takeOutcomes();
    for (const DownloadOutcome &outcome : outcomes) {
        --unfinishedJobs;
        takeOutcome(outcome);
        if (!batchRunning)
            return; // ended for a full disk: what else ended with it counts no more
    }
    const qint64 bytes = lanes->bytes();
    if (!outcomes.isEmpty() || bytes != downloadedBytes) {
        downloadedBytes = bytes;
        emitDownloadProgress();
    }
    // A retry waiting in its timer is still part of the batch, and so is a paused file.
    if (batchRunning && !paused && unfinishedJobs == 0 && pendingRetries == 0)
        finishBatch();
}

void DownloadBatch::takeOutcome(const DownloadOutcome &outcome)
{
    Logger &log = Logger::instance();
    const FileEntry &entry = outcome.entry;
    if (outcome.notStarted) {
        const FailureText text =
            FailureText("DownloadBatch", "Cannot open temp file for writing: %1").arg(entry.path);
        log.log(Error, text.logged());
        emit errorOccurred(text.shown());
        const FailureText reason =
            outcome.folderReady ? outcome.error
                                : FailureText("DownloadBatch", "the folder cannot be created");
        if (writeFailure.isEmpty()) {
            writeFailure = tr("Cannot write to %1: %2.")
                               .arg(QDir::toNativeSeparators(
                                        QFileInfo(gameFilePath(entry.path)).absolutePath()),
                                    reason.shown());
        }
        skippedFiles.append(entry.path);
        skipReasons.append(reason.shown());
        return;
    }
    if (outcome.outOfSpace) {
        stopForSpace(outcome);
        return;
    }
    switch (outcome.outcome) {
    case VerifiedTransfer::Outcome::Completed:
        makeRunnableIfGame(entry, gameFilePath(entry.path));
        ++completedFiles;
        log.log(Info,
                QStringLiteral("Downloaded and verified: %1 (%2/%3)")
                    .arg(entry.path, QString::number(completedFiles), QString::number(totalFiles)));
        if (entry.server > 0)
            log.log(Info, QStringLiteral("Downloaded %1 from mirror %2")
                              .arg(entry.path, servers->name(entry.server)));
        emit fileDownloadComplete(entry.path);
        if (outcome.landed)
            emit fileLanded(entry.path, DigestCache::Entry::of(*outcome.landed, entry.sha256));
        return;
    case VerifiedTransfer::Outcome::Cancelled:
        // Stopped by a pause: it goes on from its part when the batch resumes.
        if (paused)
            pausedFiles.append(entry);
        return;
    case VerifiedTransfer::Outcome::Mismatch:
        log.log(Debug, outcome.receivedSize != entry.size
                           ? QStringLiteral("Size mismatch for %1: expected %2, got %3")
                                 .arg(entry.path, QString::number(entry.size),
                                      QString::number(outcome.receivedSize))
                           : QStringLiteral("Hash mismatch for %1").arg(entry.path));
        break;
    default:
        if (askAnotherServer(outcome))
            return;
        break;
    }
    FileEntry retry = entry;
    // A wrong file is asked for elsewhere; after every server failed as a host, the first choice
    // comes first again; otherwise the server stays, where the part continues.
    retry.server = outcome.outcome == VerifiedTransfer::Outcome::Mismatch
                       ? servers->after(entry.server)
                   : outcome.hostFailure ? servers->choose()
                                         : servers->choose(entry.server);
    handleDownloadFailure(retry, outcome.error);
}

// A server that failed as a host is avoided for the rest of the batch (the lane has marked it),
// and the file goes to the next one at once: no attempt counted, no pause. False when no other
// server was left: then they are all tried again, and the failure counts as any other.
bool DownloadBatch::askAnotherServer(const DownloadOutcome &outcome)
{
    if (!outcome.hostFailure || !outcome.serverLeft)
        return false;
    FileEntry moved = outcome.entry;
    moved.server = servers->choose(outcome.entry.server);
    Logger::instance().log(Warn, QStringLiteral("%1 failed at %2 (%3); asking %4 at once")
                                     .arg(moved.path, servers->name(outcome.entry.server),
                                          outcome.error.logged(), servers->name(moved.server)));
    if (paused)
        pausedFiles.append(moved);
    else if (lanes->addFirst(jobFor(moved)))
        ++unfinishedJobs;
    return true;
}

void DownloadBatch::finishBatch()
{
    Logger &log = Logger::instance();
    batchRunning = false;
    batchFiles.clear();
    outcomeTimer->stop();
    if (skippedFiles.isEmpty()) {
        log.log(Info, QStringLiteral("All files downloaded successfully!"));
        emit allFilesReady();
        return;
    }
    const int skipped = int(skippedFiles.size());
    log.log(Error, QStringLiteral("Download incomplete: %1 of %2 files could not be downloaded")
                       .arg(QString::number(skipped), QString::number(totalFiles)));
    // The player's words (the log line above stays English). One file has a sentence of its own,
    // so that English keeps "1 file" while other languages take their plural forms for the rest.
    QString text = skipped == 1
                       ? tr("Download failed: 1 file could not be downloaded")
                       : tr("Download failed: %Ln files could not be downloaded", nullptr, skipped);
    // A few failures are named, with the first one's reason; many say only how many. A folder
    // that cannot be written says why itself.
    if (writeFailure.isEmpty() && skipped <= 3) {
        text += tr(": %1 (%2)").arg(skippedFiles.first(), skipReasons.first());
        if (skipped > 1)
            text += tr(" and %Ln more", nullptr, skipped - 1);
    }
    text += QLatin1Char('.');
    if (!writeFailure.isEmpty())
        text += QLatin1Char(' ') + writeFailure;
    emit downloadFailed(text);
}

// A full disk does not empty itself: no retry, and the other files would only fill what is left
// and fail the same way. The batch ends at once; every transfer keeps its part, so that once the
// player has made room the next start goes on from there.
void DownloadBatch::stopForSpace(const DownloadOutcome &outcome)
{
    // The failed attempt's bytes have left the count, but they stay in its part.
    const qint64 onDisk = lanes->bytes() + outcome.receivedSize;
    const qint64 fileNeeds = qMax(qint64(0), outcome.entry.size - outcome.receivedSize);
    endBatch();
    const QString folder = QFileInfo(LauncherConfig::instance().gameDirectory).absoluteFilePath();
    const qint64 free = qMax(qint64(0), QStorageInfo(folder).bytesAvailable());
    // What the files not in place yet still need, beyond the room that is left; at the least what
    // this one could not write.
    qint64 needed = qMax(totalBytes - onDisk, fileNeeds) - free;
    if (needed <= 0)
        needed = qMax(fileNeeds, qint64(1));
    const FailureText text = notEnoughSpace(folder, needed);
    Logger::instance().log(
        Error, QStringLiteral("Download stopped at %1: %2").arg(outcome.entry.path, text.logged()));
    emit downloadFailed(text.shown());
}

void DownloadBatch::emitDownloadProgress()
{
    // A body longer than the manifest says may run past the total until it fails its check.
    const qint64 shown = qBound(qint64(0), downloadedBytes, totalBytes);
    const int percent = totalBytes <= 0 ? 0 : int(shown * 100 / totalBytes);
    emit downloadProgress(percent, shown, totalBytes);
}

void DownloadBatch::cancel()
{
    if (!batchRunning)
        return;
    endBatch();
    Logger::instance().log(Info, QStringLiteral("Download cancelled"));
}

void DownloadBatch::endBatch()
{
    batchRunning = false;
    batchFiles.clear();
    paused = false;
    pausedFiles.clear();
    // Retries waiting in their timer see the new generation and do nothing.
    ++batchGeneration;
    pendingRetries = 0;
    unfinishedJobs = 0;
    outcomeTimer->stop();
    lanes->cancel();
}

void DownloadBatch::handleDownloadFailure(FileEntry entry, const FailureText &error)
{
    Logger &log = Logger::instance();
    entry.attempts += 1;

    if (entry.attempts >= maxAttempts) {
        log.log(Error, QStringLiteral("Skipping %1 after %2 failed attempts: %3")
                           .arg(entry.path, QString::number(maxAttempts), error.logged()));
        emit errorOccurred(tr("Skipped (too many errors): %1").arg(entry.path));
        ++completedFiles;
        skippedFiles.append(entry.path);
        skipReasons.append(error.shown());
        return;
    }

    log.log(Warn, QStringLiteral("Retry %1/%2 for %3 in %4s: %5")
                      .arg(QString::number(entry.attempts), QString::number(maxAttempts),
                           entry.path, QString::number(retryDelayMs / 1000), error.logged()));
    ++pendingRetries;
    emit retryScheduled(entry.path, retryDelayMs, entry.attempts + 1, maxAttempts, error.shown());
    // A coarse timer may fire up to 5 % early; the pause is a promise to the server.
    QTimer::singleShot(retryDelayMs, Qt::PreciseTimer, this,
                       [this, entry, generation = batchGeneration] {
                           if (generation != batchGeneration)
                               return;
                           --pendingRetries;
                           if (paused)
                               pausedFiles.append(entry);
                           else if (lanes->addFirst(jobFor(entry)))
                               ++unfinishedJobs;
                       });
}

void DownloadBatch::pause()
{
    if (!batchRunning || paused)
        return;
    paused = true;
    const QList<DownloadJob> waiting = lanes->stop();
    for (const DownloadJob &job : waiting)
        pausedFiles.append(job.entry);
    unfinishedJobs -= int(waiting.size());
    // The transfers that ended meanwhile: finished files count, stopped ones wait for resume().
    collectOutcomes();
    if (pausedFiles.isEmpty() && pendingRetries == 0) {
        paused = false; // nothing was left to hold: the batch ends as it would have
        collectOutcomes();
        return;
    }
    outcomeTimer->stop();
    Logger::instance().log(
        Info,
        QStringLiteral("Download paused: %1 files to go").arg(QString::number(pausedFiles.size())));
}

void DownloadBatch::resume()
{
    if (!paused)
        return;
    paused = false;
    QList<DownloadJob> jobs;
    for (const FileEntry &entry : qAsConst(pausedFiles))
        jobs.append(jobFor(entry));
    pausedFiles.clear();
    Logger::instance().log(Info, QStringLiteral("Download resumed"));
    lanes->setParallelTransfers(qMax(1, LauncherConfig::instance().maxDownloadThreads));
    unfinishedJobs += lanes->add(jobs);
    outcomeTimer->start();
}

// The server's bytes carry no file mode: the program that PLAY starts must be runnable by its
// owner. Windows runs a file by its name, so there is nothing to do there.
void DownloadBatch::makeRunnableIfGame(const FileEntry &entry, const QString &path) const
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
