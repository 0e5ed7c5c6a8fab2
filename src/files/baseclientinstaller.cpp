#include "files/baseclientinstaller.h"

#include "core/logger.h"
#include "files/diskspace.h"
#include "net/diskwrite.h"
#include "platform/platform.h"

#include "net/verifiedtransfer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>

BaseClientInstaller::BaseClientInstaller(QNetworkAccessManager *network,
                                         const QByteArray &userAgent, QObject *parent)
    : QObject(parent), network(network), userAgent(userAgent)
{}

QString BaseClientInstaller::archivePathFor(const QString &url)
{
    // Not the shared temporary folder, which the system may clean under a download of several GB.
    // Named after the address, so a part is only ever continued from the archive it began with.
    const QByteArray key =
        QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/downloads/base-client-") + QString::fromLatin1(key) +
           QStringLiteral(".zip");
}

void BaseClientInstaller::install(const BaseClientInfo &info, const QString &installDir)
{
    Logger &log = Logger::instance();
    // One installation at a time, and the newest request wins: the running one ends first, so
    // two transfers never share the archive.
    if (download || extractProcess) {
        log.log(Info, QStringLiteral("Base client installation restarted"));
        cancel();
    }
    paused = false;
    baseClient = info;
    this->installDir = installDir;
    archivePath = archivePathFor(info.url);
    log.log(Info, QStringLiteral("Downloading base client from: %1").arg(info.url));
    log.log(Info, QStringLiteral("Destination: %1").arg(installDir));
    QDir().mkpath(installDir);
    QDir().mkpath(QFileInfo(archivePath).absolutePath());
    // The part is continued as it stands, so a link under its name goes rather than be written
    // through.
    if (QFileInfo(archivePath).isSymLink())
        QFile::remove(archivePath);

    TransferTarget target;
    target.url = QUrl(info.url);
    target.partPath = archivePath;
    target.sha256 = info.sha256;
    target.verifyDigest = !info.sha256.isEmpty();
    target.userAgent = userAgent;
    target.resumable = true;
    target.lowSpeedWindowMs = lowSpeedWindowMs;
    target.speedLimit = speedLimit;
    download = new VerifiedTransfer(network, target, this);
    connect(download, &VerifiedTransfer::progress, this, &BaseClientInstaller::onDownloadProgress);
    connect(download, &VerifiedTransfer::finished, this, &BaseClientInstaller::onDownloadFinished);
    if (!download->start()) {
        delete download;
        download = nullptr;
        fail(FailureText("BaseClientInstaller", "Cannot open temp file: %1").arg(archivePath));
    }
}

void BaseClientInstaller::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Without a length from the server, the manifest's size stands in.
    const qint64 total = bytesTotal < 1 ? baseClient.size : bytesTotal;
    if (total < 1) {
        emit downloadProgress(0, bytesReceived, total);
        return;
    }
    // A server may send more than it or the manifest announced: the percentage stays in 0..100.
    const qint64 percent = qBound(qint64(0), bytesReceived * 100 / total, qint64(100));
    emit downloadProgress(int(percent), bytesReceived, total);
}

void BaseClientInstaller::onDownloadFinished()
{
    Logger &log = Logger::instance();
    // The transfer that finished, which need not be the current one.
    auto *transfer = qobject_cast<VerifiedTransfer *>(sender());
    if (!transfer)
        return;
    transfer->deleteLater();
    if (transfer != download)
        return;
    download = nullptr;

    // The transfer has already kept the part of a broken attempt for the next one, and removed
    // every other archive that did not complete.
    switch (transfer->outcome()) {
    case VerifiedTransfer::Outcome::Cancelled:
        return;
    case VerifiedTransfer::Outcome::NetworkError:
    case VerifiedTransfer::Outcome::WriteFailed:
    case VerifiedTransfer::Outcome::RenameFailed:
        fail(FailureText("BaseClientInstaller", "Client download failed: %1")
                 .arg(transfer->failure()));
        return;
    default:
        break;
    }
    if (baseClient.sha256.isEmpty()) {
        log.log(Info,
                QStringLiteral("SHA256 not specified in manifest — skipping archive verification"));
    } else {
        // The digest was computed while the archive arrived; here it is only compared.
        log.log(Info, QStringLiteral("Verifying archive SHA256..."));
    }
    if (transfer->outcome() == VerifiedTransfer::Outcome::Mismatch) {
        fail(FailureText("BaseClientInstaller", "Archive SHA256 mismatch — file corrupted."));
        return;
    }

    // An archive that cannot fit is not half unpacked among the player's files.
    unpackedBytes = zipUnpackedSize(archivePath);
    const qint64 shortfall = diskSpaceShortfall(installDir, unpackedBytes);
    if (shortfall > 0) {
        QFile::remove(archivePath);
        fail(notEnoughSpace(installDir, shortfall));
        return;
    }
    freeBeforeExtraction = QStorageInfo(installDir).bytesAvailable();

    log.log(Info, QStringLiteral("Archive verified. Extracting..."));
    emit extracting();

    // bsdtar refuses entries with ".." or that would be written through a link, and strips a
    // leading "/", so nothing lands outside installDir; such an archive ends with a non-zero code.
    extractProcess = new QProcess(this);
    connect(extractProcess, &QProcess::finished, this, &BaseClientInstaller::onExtractionFinished);
    extractProcess->start(QString::fromUtf8(platform::archiveExtractor()),
                          {QStringLiteral("-xf"), archivePath, QStringLiteral("-C"), installDir},
                          QIODevice::ReadWrite);
    if (!extractProcess->waitForStarted(5000)) {
        extractProcess->deleteLater();
        extractProcess = nullptr;
        QFile::remove(archivePath);
        fail(FailureText::verbatim(QString::fromUtf8(platform::archiveExtractorMissingText())));
    }
}

void BaseClientInstaller::onExtractionFinished(int exitCode, QProcess::ExitStatus exitStatus)
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
        emit installed();
        return;
    }
    if (!toolErrors.isEmpty())
        log.log(Warn,
                QStringLiteral("Extraction output: %1").arg(QString::fromLocal8Bit(toolErrors)));
    // The disk filled while the archive was unpacked (something else wrote to it meanwhile):
    // what it lacked then, or at least some.
    if (toolErrors.contains("No space left on device") ||
        toolErrors.contains("not enough space on the disk")) {
        fail(notEnoughSpace(installDir, qMax<qint64>(unpackedBytes - freeBeforeExtraction, 1)));
        return;
    }
    fail(FailureText("BaseClientInstaller", "Extraction failed (code: %1)").arg(exitCode));
}

void BaseClientInstaller::fail(const FailureText &text)
{
    Logger::instance().log(Error, text.logged());
    emit failed(text.shown());
}

void BaseClientInstaller::pause()
{
    if (!download || paused)
        return;
    paused = true;
    // Ends at once with Cancelled, which keeps the part and its validator.
    download->cancel();
    Logger::instance().log(Info, QStringLiteral("Base client download paused"));
}

void BaseClientInstaller::resume()
{
    if (!paused)
        return;
    Logger::instance().log(Info, QStringLiteral("Base client download resumed"));
    install(baseClient, installDir);
}

void BaseClientInstaller::cancel()
{
    paused = false;
    if (download) {
        download->cancel();
    } else if (extractProcess) {
        // Stopped without a word: the caller gave up on the installation, it did not fail.
        extractProcess->disconnect(this);
        extractProcess->kill();
        extractProcess->waitForFinished(5000);
        extractProcess->deleteLater();
        extractProcess = nullptr;
        QFile::remove(archivePath);
    } else {
        return;
    }
    Logger::instance().log(Info, QStringLiteral("Base client installation cancelled"));
}
