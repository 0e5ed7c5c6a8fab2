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
struct HashResult;
class ParallelHasher;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class VerifiedTransfer;

// The game files: the manifest, the check of the game directory against it, the downloads of
// what is missing or wrong, the integrity monitor while the game runs, and the base-client
// installer. Everything runs on the GUI thread except the verification pass, which compares every
// file's content with the manifest on the hasher's threads (reading only files whose size or time
// the digest cache does not know), and the game-file transfers, which run on the download lanes
// and leave their outcomes for a short timer to collect.
class FileManager : public QObject
{
    Q_OBJECT

public:
    explicit FileManager(QObject *parent = nullptr);
    ~FileManager() override;

    void downloadManifest();
    // Starts a verification pass; a pass still running is void from now on and reports nothing.
    void verifyFiles();
    bool isVerifying() const { return verifying; }
    // Fetches the download queue. While a batch runs, the files it has never had join it, and
    // what it has counted so far stays.
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
    // Where the base client at `url` is downloaded to (and continued from after a break).
    static QString baseClientArchivePath(const QString &url);
    // What the last verification pass (or setDownloadQueue) left for startDownload.
    const QList<FileEntry> &downloadQueue() const { return filesToDownload; }
    // Why the game program at `relativePath` (cleaned, inside the game folder) must not start:
    // with signing keys, it must be an entry of the accepted signed manifest whose file matches
    // that entry's digest now. Empty when it may start, and always without keys.
    QString gameProgramProblem(const QString &relativePath) const;
    // Replaces the download queue with files found wrong by other means than verifyFiles (the
    // player's full scan); startDownload then fetches them.
    void setDownloadQueue(const QList<FileEntry> &files) { filesToDownload = files; }
    // Pause between a failed transfer and its retry: 5 s, shortened only by tests and tools.
    void setRetryDelay(int milliseconds) { retryDelayMs = milliseconds; }
    // How long the manifest and every transfer may stay too slow to be of use before they fail
    // (LowSpeedGuard): 30 s, shortened only by tests.
    void setLowSpeedWindow(int milliseconds) { lowSpeedWindowMs = milliseconds; }

    // The most a manifest may be: far beyond the 200,000 files of a big game (some 40 MB), far
    // below what would exhaust a player's memory in the parse.
    static constexpr qint64 maxManifestBytes = 128 * 1024 * 1024;

signals:
    void manifestDownloaded(bool success, QString message);
    // Bytes of the game files checked so far by the running verification pass.
    void verificationProgress(qint64 checked, qint64 total);
    void verificationComplete(int missingFiles, int corruptedFiles);
    void downloadProgress(int percent, qint64 downloaded, qint64 total);
    void fileDownloadComplete(QString filename);
    // Every file of the batch is in place, checked.
    void allFilesReady();
    // The batch is over but some files could not be fetched; the text says how many and why.
    void downloadFailed(QString error);
    void errorOccurred(QString error);
    // A failed file waits `delayMs` for its attempt number `attempt` of `attempts`.
    void retryScheduled(QString filename, int delayMs, int attempt, int attempts, QString error);
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
    QString calculateFileHash(const QString &fullPath) const;
    void stopVerification();
    void finishVerification(const QList<FileEntry> &files, const QList<HashResult> &results);
    DownloadJob jobFor(const FileEntry &entry) const;
    void collectOutcomes();
    void takeOutcome(const DownloadOutcome &outcome);
    void finishBatch();
    void handleDownloadFailure(FileEntry entry, QString error);
    void makeRunnableIfGame(const FileEntry &entry, const QString &path) const;
    void emitDownloadProgress();
    void scheduleNextIntegrityCheck();
    void dropManifestReply();
    static QString tooLargeManifest();
    void fetchManifestSignature(const QByteArray &document);
    void acceptSignedManifest(const QByteArray &document);
    void refuseManifest(const QString &text);
    void failBaseClient(const QString &text);

    QNetworkAccessManager *networkManager = nullptr;
    DownloadLanes *lanes = nullptr;
    QTimer *outcomeTimer = nullptr;
    QNetworkReply *manifestReply = nullptr;
    // Why the manifest's reply was ended here (too large, too slow); empty: it was not.
    QString manifestAbortReason;
    // The hasher of the verification passes, the files of the last pass started, and whether
    // that pass still runs; a pass that was stopped reports nothing.
    ParallelHasher *verifier = nullptr;
    QList<FileEntry> verifiedFiles;
    bool verifying = false;
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
    // Every file the running batch has had: queued, in flight, waiting, done or given up on.
    QSet<QString> batchFiles;
    VerifiedTransfer *baseClientTransfer = nullptr;
    BaseClientInfo baseClient;
    QString archivePath;
    QString installDir;
    QProcess *extractProcess = nullptr;
    QTimer *integrityTimer = nullptr;
    QList<FileEntry> monitoredFiles;
    static constexpr qint64 integrityFloorMs = 1000;
    bool integrityFloorLogged = false; // once per monitoring run

    // Files of the batch given up on with the reason of their last failure, and the first reason
    // a file could not even be written.
    QStringList skippedFiles;
    QStringList skipReasons;
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
    int lowSpeedWindowMs = 30000;
};
