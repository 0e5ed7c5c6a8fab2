#pragma once

#include "core/failuretext.h"

#include "files/manifest.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QNetworkAccessManager;
class SpeedLimit;
class VerifiedTransfer;

// The base-client installer. One zip archive goes to the user's data folder, is checked by
// SHA-256 when the manifest gives a digest, and is unpacked by the system's tar into the target
// folder. A cut download keeps its part and the server's validator, and the next attempt or run
// asks for the rest; the archive goes once it is unpacked, found wrong, or given up on during
// extraction. One installation at a time: a new one ends the running one first.
class BaseClientInstaller : public QObject
{
    Q_OBJECT

public:
    BaseClientInstaller(QNetworkAccessManager *network, const QByteArray &userAgent,
                        QObject *parent = nullptr);

    // Where the base client at `url` is downloaded to (and continued from after a break).
    static QString archivePathFor(const QString &url);
    void install(const BaseClientInfo &info, const QString &installDir);
    // Ends a running download or extraction, without failed().
    void cancel();
    void setLowSpeedWindow(int milliseconds) { lowSpeedWindowMs = milliseconds; }
    // The archive's download goes by `limit`, together with whoever else shares it.
    void setSpeedLimit(std::shared_ptr<SpeedLimit> limit) { speedLimit = std::move(limit); }
    // Stops the archive's download where it is, keeping its part; resume() asks for the rest.
    // Nothing happens when no download runs (extraction is not paused).
    void pause();
    void resume();
    bool isPaused() const { return paused; }

signals:
    void downloadProgress(int percent, qint64 downloaded, qint64 total);
    void extracting();
    void installed();
    void failed(QString error);

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onExtractionFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void fail(const FailureText &text);

    QNetworkAccessManager *network;
    QByteArray userAgent;
    int lowSpeedWindowMs = 30000;
    std::shared_ptr<SpeedLimit> speedLimit;
    bool paused = false;
    VerifiedTransfer *download = nullptr;
    BaseClientInfo baseClient;
    QString archivePath;
    QString installDir;
    QProcess *extractProcess = nullptr;
    // What the archive unpacks to, and what the folder's volume had free before it began.
    qint64 unpackedBytes = 0;
    qint64 freeBeforeExtraction = 0;
};
