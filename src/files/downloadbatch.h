#pragma once

#include "files/manifest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class DownloadLanes;
struct DownloadJob;
struct DownloadOutcome;
class QTimer;

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

signals:
    void downloadProgress(int percent, qint64 downloaded, qint64 total);
    void fileDownloadComplete(QString filename);
    void allFilesReady();
    void downloadFailed(QString error);
    void errorOccurred(QString error);
    void retryScheduled(QString filename, int delayMs, int attempt, int attempts, QString error);

private:
    DownloadJob jobFor(const FileEntry &entry) const;
    void collectOutcomes();
    void takeOutcome(const DownloadOutcome &outcome);
    void finishBatch();
    void handleDownloadFailure(FileEntry entry, QString error);
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
};
