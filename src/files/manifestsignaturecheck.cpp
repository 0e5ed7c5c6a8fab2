#include "files/manifestsignaturecheck.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/signedmanifest.h"
#include "net/documentfetch.h"

#include <QDateTime>

#include <utility>

ManifestSignatureCheck::ManifestSignatureCheck(QNetworkAccessManager *network,
                                               const QByteArray &userAgent, QObject *parent)
    : QObject(parent), network(network), userAgent(userAgent)
{}

void ManifestSignatureCheck::start(QByteArray document, const Manifest &current)
{
    cancel();
    pendingManifest = std::move(document);
    base = current;
    // The files are read anew from the document; the ones in place need not be held twice.
    base.files.clear();
    const QUrl url = signedmanifest::signatureUrl(QUrl(LauncherConfig::instance().manifestUrl));
    Logger::instance().log(
        Info, QStringLiteral("Downloading manifest signature from: %1").arg(url.toString()));
    DocumentRequest request;
    request.url = url;
    request.name = FailureText("FileManager", "the manifest's signature");
    request.userAgent = userAgent;
    request.sizeLimit = signatureSizeLimit;
    request.lowSpeedWindowMs = lowSpeedWindowMs;
    request.deadlineMs = signatureDeadlineMs;
    fetch = new DocumentFetch(network, request, this);
    connect(fetch, &DocumentFetch::finished, this, &ManifestSignatureCheck::onSignatureReply);
    fetch->start();
}

void ManifestSignatureCheck::cancel()
{
    pendingManifest.clear();
    if (!fetch)
        return;
    fetch->disconnect(this);
    fetch->cancel();
    fetch->deleteLater();
    fetch = nullptr;
}

void ManifestSignatureCheck::onSignatureReply()
{
    auto *finished = qobject_cast<DocumentFetch *>(sender());
    if (!finished)
        return;
    finished->deleteLater();
    if (finished == fetch)
        fetch = nullptr;
    QByteArray document = std::exchange(pendingManifest, QByteArray());
    const QString url = finished->url().toString();
    const SigningKeys &keys = LauncherConfig::instance().signingKeys;

    QString detail;
    FailureText problem;
    if (!finished->succeeded()) {
        detail = finished->failure().logged();
        problem = signedmanifest::missingSignatureText();
    } else {
        problem = signedmanifest::signatureProblem(keys, document, finished->bytes(), &detail);
    }
    if (!problem.isEmpty()) {
        Logger::instance().log(
            Error, QStringLiteral("Manifest signature check failed for %1: %2").arg(url, detail));
        emit refused(problem);
        return;
    }
    accept(std::move(document));
}

void ManifestSignatureCheck::accept(QByteArray document)
{
    Logger &log = Logger::instance();
    const QString url = LauncherConfig::instance().manifestUrl;
    // Parsed aside: a refused document must leave the accepted one in place.
    Manifest candidate = std::exchange(base, Manifest());
    if (!candidate.parse(std::move(document))) {
        emit refused(
            FailureText("FileManager", "Failed to parse manifest: %1").arg(candidate.error));
        return;
    }
    if (candidate.files.isEmpty() && candidate.refusedEntries > 0) {
        emit refused(
            FailureText("FileManager", "Manifest has no valid files: all %1 entries were refused")
                .arg(candidate.refusedEntries));
        return;
    }
    PublishedRecord record;
    QString detail;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const FailureText problem = signedmanifest::freshnessProblem(
        candidate, now, record.newest(now + signedmanifest::maxClockLeadSeconds), &detail);
    if (!problem.isEmpty()) {
        log.log(Error, QStringLiteral("Signed manifest from %1 refused: %2").arg(url, detail));
        emit refused(problem);
        return;
    }
    if (!candidate.baseClient.url.isEmpty() && candidate.baseClient.sha256.isEmpty()) {
        log.log(Warn, QStringLiteral("Base client refused: the signed manifest gives it no "
                                     "\"sha256\""));
        candidate.baseClient = BaseClientInfo();
    }
    if (!record.raise(url, candidate.published))
        log.log(Warn, QStringLiteral("Cannot record the manifest's publication time in %1")
                          .arg(PublishedRecord::defaultPath()));
    emit accepted(candidate);
}
