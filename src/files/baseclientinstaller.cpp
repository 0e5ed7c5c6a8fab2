// FileManager: the base-client installer. One zip archive goes to the temporary folder, is
// checked by SHA-256 when the manifest gives a digest, and is unpacked by the system's tar into
// the target folder; the archive is deleted on every outcome.

#include "files/filemanager.h"

#include "core/logger.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

void FileManager::installBaseClient(const BaseClientInfo &info, const QString &installDir)
{
    Logger &log = Logger::instance();
    baseClient = info;
    this->installDir = installDir;
    archivePath = QDir::tempPath() + QStringLiteral("/l2_base_client.zip");
    log.log(Info, QStringLiteral("Downloading base client from: %1").arg(info.url));
    log.log(Info, QStringLiteral("Destination: %1").arg(installDir));
    QDir().mkpath(installDir);

    // The temporary folder is shared with other users: whatever already sits under our name (a
    // planted link included) goes, and the file is created afresh, so the write cannot be
    // redirected. If it cannot be removed, creating the file fails below.
    QFile::remove(archivePath);
    baseClientFile = new QFile(archivePath, this);
    if (!baseClientFile->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        const QString text = QStringLiteral("Cannot open temp file: %1").arg(archivePath);
        log.log(Error, text);
        delete baseClientFile;
        baseClientFile = nullptr;
        emit baseClientError(text);
        return;
    }

    baseClientReply = networkManager->get(makeRequest(info.url));
    baseClientReply->setReadBufferSize(downloadReadBufferSize);
    connect(baseClientReply, &QNetworkReply::downloadProgress, this,
            &FileManager::onBaseClientDownloadProgress);
    connect(baseClientReply, &QNetworkReply::readyRead, this,
            &FileManager::onBaseClientDownloadReadyRead);
    connect(baseClientReply, &QNetworkReply::finished, this,
            &FileManager::onBaseClientDownloadFinished);
}

void FileManager::onBaseClientDownloadReadyRead()
{
    if (!baseClientReply || !baseClientFile || !baseClientFile->isOpen())
        return;
    const QByteArray data = baseClientReply->readAll();
    if (baseClientFile->write(data) != data.size()) {
        // Nothing more can land in the archive: end the download now.
        Logger::instance().log(
            Warn,
            QStringLiteral("Cannot write %1: %2").arg(archivePath, baseClientFile->errorString()));
        baseClientFile->close();
        baseClientReply->abort();
    }
}

void FileManager::onBaseClientDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Without a length from the server, the manifest's size stands in.
    const qint64 total = bytesTotal < 1 ? baseClient.size : bytesTotal;
    if (total < 1) {
        emit baseClientDownloadProgress(0, bytesReceived, total);
        return;
    }
    emit baseClientDownloadProgress(int(bytesReceived * 100 / total), bytesReceived, total);
}

void FileManager::onBaseClientDownloadFinished()
{
    Logger &log = Logger::instance();
    QNetworkReply *reply = baseClientReply;
    if (!reply)
        return;
    baseClientReply = nullptr;
    reply->deleteLater();

    bool writeFailed = false;
    if (baseClientFile) {
        // A file closed early had a failed write; otherwise the last bytes and the flush may fail.
        const QByteArray rest = baseClientFile->isOpen() ? reply->readAll() : QByteArray();
        writeFailed = !baseClientFile->isOpen() || baseClientFile->write(rest) != rest.size() ||
                      !baseClientFile->flush();
        delete baseClientFile;
        baseClientFile = nullptr;
    }

    if (writeFailed || reply->error() != QNetworkReply::NoError) {
        const QString reason =
            writeFailed ? QStringLiteral("cannot write %1").arg(archivePath) : reply->errorString();
        failBaseClient(QStringLiteral("Client download failed: %1").arg(reason));
        return;
    }

    if (!baseClient.sha256.isEmpty()) {
        log.log(Info, QStringLiteral("Verifying archive SHA256..."));
        const QString digest = calculateFileHash(archivePath);
        if (digest.isEmpty() || digest != baseClient.sha256) {
            failBaseClient(QStringLiteral("Archive SHA256 mismatch — file corrupted."));
            return;
        }
    } else {
        log.log(Info,
                QStringLiteral("SHA256 not specified in manifest — skipping archive verification"));
    }

    log.log(Info, QStringLiteral("Archive verified. Extracting..."));
    emit baseClientExtracting();

    // bsdtar refuses entries with ".." or that would be written through a link, and strips a
    // leading "/", so nothing lands outside installDir; such an archive ends with a non-zero code.
    extractProcess = new QProcess(this);
    connect(extractProcess, &QProcess::finished, this, &FileManager::onExtractionFinished);
    extractProcess->start(QString::fromUtf8(platform::archiveExtractor()),
                          {QStringLiteral("-xf"), archivePath, QStringLiteral("-C"), installDir},
                          QIODevice::ReadWrite);
    if (!extractProcess->waitForStarted(5000)) {
        extractProcess->deleteLater();
        extractProcess = nullptr;
        failBaseClient(QString::fromUtf8(platform::archiveExtractorMissingText()));
    }
}

void FileManager::onExtractionFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Logger &log = Logger::instance();
    if (!extractProcess)
        return;
    const QByteArray toolErrors = extractProcess->readAllStandardError().trimmed();
    extractProcess->deleteLater();
    extractProcess = nullptr;
    QFile::remove(archivePath);

    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        log.log(Info, QStringLiteral("Base client installed successfully."));
        emit baseClientInstalled();
        return;
    }
    if (!toolErrors.isEmpty())
        log.log(Warn,
                QStringLiteral("Extraction output: %1").arg(QString::fromLocal8Bit(toolErrors)));
    const QString text = QStringLiteral("Extraction failed (code: %1)").arg(exitCode);
    log.log(Error, text);
    emit baseClientError(text);
}

void FileManager::failBaseClient(const QString &text)
{
    Logger::instance().log(Error, text);
    QFile::remove(archivePath);
    emit baseClientError(text);
}
