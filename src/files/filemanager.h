#pragma once

#include "core/failuretext.h"
#include "files/digestcache.h"
#include "files/manifest.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class BaseClientInstaller;
class DocumentFetch;
class DownloadBatch;
struct HashResult;
class IntegrityMonitor;
class ManifestSignatureCheck;
class ParallelHasher;
class QNetworkAccessManager;
class SpeedLimit;

namespace platform {
class InputFile;
}

// The game files: the manifest (with signing keys, once its signature has been checked), the
// check of the game directory against it, and the download queue it leaves; the download batch,
// the integrity monitor and the base-client installer are parts of their own that this class owns
// and forwards to. Everything runs on the GUI thread except the verification pass, which compares
// every file's content with the manifest on the hasher's threads (reading only files whose size
// or time the digest cache does not know), and the game-file transfers, which run on the download
// lanes.
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
    // Stops the running download, game files or base client, where it is: nothing is fetched
    // until resumeDownloads(), and every part stays, also through a logout or a quit.
    void pauseDownloads();
    void resumeDownloads();
    bool downloadsPaused() const;
    // Bytes per second over every download together, game files and base client; 0 is none.
    // Takes effect at once, also for transfers in flight.
    void setSpeedLimit(qint64 bytesPerSecond);
    // Ends all work in flight (manifest, verification, downloads, base-client install) without a
    // signal: its results no longer matter to anyone, for example after a logout.
    void cancelAll();

    const Manifest &currentManifest() const { return manifest; }
    // Where the base client at `url` is downloaded to (and continued from after a break).
    static QString baseClientArchivePath(const QString &url);
    // What the last verification pass (or setDownloadQueue) left for startDownload.
    const QList<FileEntry> &downloadQueue() const { return filesToDownload; }
    // Why the game program at `relativePath` (cleaned, inside the game folder), open in
    // `program`, must not start: with signing keys, it must be an entry of the accepted signed
    // manifest, and what is read through `program` must match that entry's size and digest.
    // Empty when it may start, and always without keys.
    FailureText gameProgramProblem(const QString &relativePath, platform::InputFile &program) const;
    // Replaces the download queue with files found wrong by other means than verifyFiles (the
    // player's full scan); startDownload then fetches them.
    void setDownloadQueue(const QList<FileEntry> &files) { filesToDownload = files; }
    // Pause between a failed transfer and its retry: 5 s, shortened only by tests and tools.
    void setRetryDelay(int milliseconds);
    // How long the manifest and every transfer may stay too slow to be of use before they fail
    // (LowSpeedGuard): 30 s, shortened only by tests.
    void setLowSpeedWindow(int milliseconds);

    // The most a manifest may be: far beyond the 200,000 files of a big game (some 40 MB), far
    // below what would exhaust a player's memory in the parse.
    static constexpr qint64 maxManifestBytes = 128 * 1024 * 1024;
    // The longest a manifest's download may take: a 40 MB one over a slow line of 256 kbit/s.
    static constexpr int manifestDeadlineMs = 30 * 60 * 1000;

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

private:
    // Every request of the game files names the launcher.
    static constexpr char userAgent[] = "Wardgate/1.0";

    void stopVerification();
    void rememberLanded();
    ParallelHasher *verificationHasher();
    void finishVerification(const QList<FileEntry> &files, const QList<HashResult> &results);
    void dropManifestFetch();
    void takeSignedManifest(const Manifest &accepted);
    void refuseManifest(const FailureText &text);

    QNetworkAccessManager *networkManager = nullptr;
    // Shared by the batch's lanes and the base client, on their threads.
    std::shared_ptr<SpeedLimit> speedLimit;
    DownloadBatch *batch = nullptr;
    IntegrityMonitor *monitor = nullptr;
    BaseClientInstaller *baseClientInstaller = nullptr;
    ManifestSignatureCheck *signatureCheck = nullptr;
    DocumentFetch *manifestFetch = nullptr;
    // The hasher of the verification passes, the files of the last pass started, and whether
    // that pass still runs; a pass that was stopped reports nothing.
    ParallelHasher *verifier = nullptr;
    QList<FileEntry> verifiedFiles;
    // Files that landed since the digest cache last learnt of them, with their records.
    QList<std::pair<QString, DigestCache::Entry>> landedFiles;
    bool verifying = false;
    Manifest manifest;
    // With signing keys: whether the manifest in place is a signed one accepted since the last
    // downloadManifest.
    bool signedManifestAccepted = false;
    QList<FileEntry> filesToDownload;
    // Files the integrity monitor found modified: the next verification checks their digest,
    // since a same-size change passes the size check.
    QSet<QString> suspectFiles;
    int lowSpeedWindowMs = 30000;
};
