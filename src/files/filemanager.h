#pragma once

#include "files/manifest.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

class DownloadLanes;
struct DownloadJob;
struct DownloadOutcome;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class VerifiedTransfer;

// The game files: the manifest, the check of the game directory against it, the downloads of
// what is missing or wrong, the integrity monitor while the game runs, and the base-client
// installer. Everything runs on the GUI thread except the verification pass, which runs on a
// thread of its own and hands its result back by a queued call, and the game-file transfers,
// which run on the download lanes and leave their outcomes for a short timer to collect.
class FileManager : public QObject
{
    Q_OBJECT

public:
    explicit FileManager(QObject *parent = nullptr);
    ~FileManager() override;

    void downloadManifest();
    void verifyFiles();
    void startDownload();
    void startIntegrityMonitor();
    void stopIntegrityMonitor();
    void installBaseClient(const BaseClientInfo &info, const QString &installDir);
    // Ends the running batch: transfers stop (each keeps its part for a later resume), retries
    // waiting in their timer are dropped, and no allFilesReady follows.
    void cancelDownloads();
    // Ends a running base-client installation, download or extraction, without baseClientError.
    void cancelBaseClientInstall();
    // Ends all work in flight (manifest, verification, downloads, base-client install) without a
    // signal: its results no longer matter to anyone, for example after a logout.
    void cancelAll();

    const Manifest &currentManifest() const { return manifest; }
    // Why the game program at `relativePath` (cleaned, inside the game folder) must not start:
    // with signing keys, it must be an entry of the accepted signed manifest whose file matches
    // that entry's digest now. Empty when it may start, and always without keys.
    QString gameProgramProblem(const QString &relativePath) const;
    // Replaces the download queue with files found wrong by other means than verifyFiles (the
    // player's full scan); startDownload then fetches them.
    void setDownloadQueue(const QList<FileEntry> &files) { filesToDownload = files; }
    // Pause between a failed transfer and its retry: 5 s, shortened only by tests and tools.
    void setRetryDelay(int milliseconds) { retryDelayMs = milliseconds; }

signals:
    void manifestDownloaded(bool success, QString message);
    void verificationComplete(int missingFiles, int corruptedFiles);
    void downloadProgress(int percent, qint64 downloaded, qint64 total);
    void fileDownloadComplete(QString filename);
    // Every file of the batch is in place, checked.
    void allFilesReady();
    // The batch is over but some files could not be fetched; the text says how many and why.
    void downloadFailed(QString error);
    void errorOccurred(QString error);
    void integrityViolation(QString filePath);
    void baseClientDownloadProgress(int percent, qint64 downloaded, qint64 total);
    void baseClientExtracting();
    void baseClientInstalled();
    void baseClientError(QString error);

private slots:
    void onManifestReply();
    void onManifestSignatureReply();
    void onIntegrityCheck();
    void onBaseClientDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onBaseClientDownloadFinished();
    void onExtractionFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    // Every request of the game files names the launcher.
    static constexpr char userAgent[] = "Wardgate/1.0";

    QString localPath(const QString &relativePath) const;
    bool verifyFile(const FileEntry &entry, bool checkHash) const;
    bool verifyFileAt(const QString &fullPath, const FileEntry &entry, bool checkHash) const;
    QString calculateFileHash(const QString &fullPath) const;
    void finishVerification(const QList<FileEntry> &result, int missing, int corrupted);
    DownloadJob jobFor(const FileEntry &entry) const;
    void collectOutcomes();
    void takeOutcome(const DownloadOutcome &outcome);
    void finishBatch();
    void handleDownloadFailure(FileEntry entry, QString error);
    void makeRunnableIfGame(const FileEntry &entry, const QString &path) const;
    void emitDownloadProgress();
    void scheduleNextIntegrityCheck();
    void dropManifestReply();
    void fetchManifestSignature(const QByteArray &document);
    void acceptSignedManifest(const QByteArray &document);
    void refuseManifest(const QString &text);
    void failBaseClient(const QString &text);

    QNetworkAccessManager *networkManager = nullptr;
    DownloadLanes *lanes = nullptr;
    QTimer *outcomeTimer = nullptr;
    QNetworkReply *manifestReply = nullptr;
    // Raised by cancelAll: a verification pass of an older generation reports nothing.
    quint64 workGeneration = 0;
    Manifest manifest;
    // With signing keys: the manifest's bytes while its signature is fetched, and whether the
    // manifest in place is a signed one accepted since the last downloadManifest.
    QByteArray pendingManifest;
    bool signedManifestAccepted = false;
    QList<FileEntry> filesToDownload;
    int totalFiles = 0;
    int completedFiles = 0;
    qint64 totalBytes = 0;
    qint64 downloadedBytes = 0;
    // Files of the batch handed to the lanes whose outcome has not been taken in yet.
    int unfinishedJobs = 0;
    VerifiedTransfer *baseClientTransfer = nullptr;
    BaseClientInfo baseClient;
    QString archivePath;
    QString installDir;
    QProcess *extractProcess = nullptr;
    QTimer *integrityTimer = nullptr;
    QList<FileEntry> monitoredFiles;
    static constexpr qint64 integrityFloorMs = 1000;
    bool integrityFloorLogged = false; // once per monitoring run

    // Files of the batch given up on, and the first reason a file could not even be written.
    QStringList skippedFiles;
    QString writeFailure;
    // Files the integrity monitor found modified: the next verification checks their digest,
    // since a same-size change passes the size check.
    QSet<QString> suspectFiles;

    // Retries waiting in their timer: the batch is not over while one is pending.
    int pendingRetries = 0;
    // Set by startDownload, cleared by the one allFilesReady or downloadFailed that ends the batch
    // (or by cancelDownloads).
    bool batchRunning = false;
    // Raised by cancelDownloads, so the retries of a cancelled batch stay quiet.
    int batchGeneration = 0;
    int retryDelayMs = 5000;
};
