#pragma once

#include "core/failuretext.h"
#include "files/digestcache.h"
#include "files/manifest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class DownloadLanes;
struct DownloadJob;
struct DownloadOutcome;
class FileServers;
class QTimer;
class SpeedLimit;

// One download batch of game files: the jobs it hands to the download lanes, the counts behind
// its progress, the retries of failed files, and the one allFilesReady or downloadFailed that
// ends it. The lanes leave their outcomes for a short timer to collect on this object's thread.
class DownloadBatch : public QObject
{
    Q_OBJECT

public:
    DownloadBatch(int transferTimeoutMs, const QByteArray &userAgent, QObject *parent = nullptr);
    ~DownloadBatch() override;

    // Fetches `files`. While the batch runs, the files it has never had join it, and what it has
    // counted so far stays.
    void start(const QList<FileEntry> &files);
    // Ends the running batch: transfers stop (each keeps its part for a later resume), retries
    // waiting in their timer are dropped, and no allFilesReady follows.
    void cancel();
    // Set by start, cleared by the one allFilesReady or downloadFailed that ends the batch (or by
    // cancel).
    bool isRunning() const { return batchRunning; }
    void setRetryDelay(int milliseconds) { retryDelayMs = milliseconds; }
    void setLowSpeedWindow(int milliseconds) { lowSpeedWindowMs = milliseconds; }
    // Every transfer of the batch goes by `limit`, all of them together (and with whoever else
    // shares it).
    void setSpeedLimit(std::shared_ptr<SpeedLimit> limit) { speedLimit = std::move(limit); }
    // Stops every transfer where it is (each keeps its part) and holds the rest of the batch:
    // nothing is fetched until resume(), which goes on with every file that is not in place yet.
    void pause();
    void resume();
    bool isPaused() const { return paused; }

signals:
    void downloadProgress(int percent, qint64 downloaded, qint64 total);
    void fileDownloadComplete(QString filename);
    // A file that landed, with its manifest digest under the size, time and identity it has.
    void fileLanded(const QString &path, const DigestCache::Entry &record);
    void allFilesReady();
    void downloadFailed(QString error);
    void errorOccurred(QString error);
    void retryScheduled(QString filename, int delayMs, int attempt, int attempts, QString error);

private:
    DownloadJob jobFor(const FileEntry &entry) const;
    void collectOutcomes();
    void takeOutcome(const DownloadOutcome &outcome);
    void finishBatch();
    void stopForSpace(const DownloadOutcome &outcome);
    void endBatch();
    bool askAnotherServer(const DownloadOutcome &outcome);
    void handleDownloadFailure(FileEntry entry, const FailureText &error);
    void makeRunnableIfGame(const FileEntry &entry, const QString &path) const;
    void emitDownloadProgress();

    QByteArray userAgent;
    DownloadLanes *lanes = nullptr;
    QTimer *outcomeTimer = nullptr;
    int totalFiles = 0;
    int completedFiles = 0;
    qint64 totalBytes = 0;
    qint64 downloadedBytes = 0;
    // Files of the batch handed to the lanes whose outcome has not been taken in yet.
    int unfinishedJobs = 0;
    // Every file the running batch has had: queued, in flight, waiting, done or given up on.
    QSet<QString> batchFiles;
    // Files of the batch given up on with the reason of their last failure, and the first reason
    // a file could not even be written.
    QStringList skippedFiles;
    QStringList skipReasons;
    QString writeFailure;
    // Retries waiting in their timer: the batch is not over while one is pending.
    int pendingRetries = 0;
    bool batchRunning = false;
    // Raised by cancel, so the retries of a cancelled batch stay quiet.
    int batchGeneration = 0;
    int retryDelayMs = 5000;
    int lowSpeedWindowMs = 30000;
    std::shared_ptr<SpeedLimit> speedLimit;
    // files_base_url and its mirrors, with those that failed during this batch; shared with the
    // lanes.
    std::shared_ptr<FileServers> servers;
    bool paused = false;
    // What resume() hands to the lanes: the files that were queued, in flight or due for their
    // retry when the batch paused.
    QList<FileEntry> pausedFiles;
};
