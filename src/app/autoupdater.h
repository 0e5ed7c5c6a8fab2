#pragma once

#include "core/signingkeys.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class DocumentFetch;
class QNetworkAccessManager;
class VerifiedTransfer;

// Where the launcher's release is published and what its files are called on this platform.
struct ReleaseChannel
{
    QString apiBase; // REST API root serving the contents endpoint, e.g. "https://api.github.com"
    QString rawBase; // raw-file host, e.g. "https://raw.githubusercontent.com"
    QString repository;  // "owner/name"
    QString releaseFile; // the published executable's name on the release branch
    QString digestKey;   // version.json key holding that executable's SHA-256
    QString newFileName; // the download's name next to the running executable
    // version.json and its signature: how long the server may send nothing, and how long each
    // may take in all (a server that drips them never holds the start longer).
    int versionCheckTimeoutMs = 10000;
    int versionCheckDeadlineMs = 30000;
    int downloadTimeoutMs = 60000;
    // With keys configured, version.json must carry a signature by one of them in
    // "version.json.sig" beside it, and must not name a version lower than the running one.
    SigningKeys signingKeys;
    QString runningVersion;

    // The build's deployment values with this platform's file names, the process's signing keys
    // and the build's version.
    static ReleaseChannel deployed();
};

// What the update check reads from version.json.
struct PublishedRelease
{
    QString version;
    QString digest;
};

// Decodes the contents endpoint's answer, whose "content" is version.json as base64 broken into
// lines; an object without "content" is taken as version.json itself. Anything else gives nullopt
// and a readable problem. `document`, when given, receives version.json's exact bytes.
std::optional<PublishedRelease> decodeVersionInfo(const QByteArray &body, const QString &digestKey,
                                                  QString *problem, QByteArray *document = nullptr);

// The bytes of a file the contents endpoint answers with (base64 "content"); an answer that is
// no such object is taken as the file itself.
QByteArray decodeContentsFile(const QByteArray &body);

// Compares the running executable's SHA-256 with the published one and, when they differ,
// downloads the published executable next to it. Every check ends in exactly one of
// noUpdateAvailable, updateDownloaded or updateError.
class AutoUpdater : public QObject
{
    Q_OBJECT

public:
    AutoUpdater(const ReleaseChannel &channel, const QString &executablePath,
                QObject *parent = nullptr);

    void checkForUpdates();

    QString executablePath() const { return runningExecutable; }
    QString latestVersion() const { return publishedVersion; }

signals:
    void updateAvailable(const QString &newVersion);
    void noUpdateAvailable();
    void updateDownloaded(const QString &newExePath);
    void updateError(const QString &error);
    void downloadProgress(qint64 received, qint64 total);

private slots:
    void onVersionCheckReply();
    void onSignatureReply();
    void onDownloadReply();

private:
    void getContents(const QString &file, qint64 sizeLimit, void (AutoUpdater::*onFetched)());
    void considerRelease();
    void startDownload();
    void fail(const QString &logLine, const QString &error);
    QString newExePath() const;

    ReleaseChannel channel;
    QString runningExecutable;
    QNetworkAccessManager *network;
    QString publishedVersion;
    QString publishedDigest;
    // version.json's bytes while its signature is fetched.
    QByteArray publishedDocument;
    // The download streams into a part file that takes the new name only once its digest
    // matches the published one.
    VerifiedTransfer *download = nullptr;
};
