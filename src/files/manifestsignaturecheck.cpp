#include "files/manifestsignaturecheck.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/signedmanifest.h"
#include "net/networkrequests.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

namespace {
// A DER P-256 signature has at most 72 bytes; anything much longer is not one.
constexpr qint64 signatureSizeLimit = 4096;
} // namespace

ManifestSignatureCheck::ManifestSignatureCheck(QNetworkAccessManager *network,
                                               const QByteArray &userAgent, QObject *parent)
    : QObject(parent), network(network), userAgent(userAgent)
{}

void ManifestSignatureCheck::start(const QByteArray &document, const Manifest &current)
{
    cancel();
    pendingManifest = document;
    base = current;
    const QUrl url = signedmanifest::signatureUrl(QUrl(LauncherConfig::instance().manifestUrl));
    Logger::instance().log(
        Info, QStringLiteral("Downloading manifest signature from: %1").arg(url.toString()));
    reply = network->get(makeNetworkRequest(url, userAgent));
    QNetworkReply *fetch = reply;
    connect(fetch, &QNetworkReply::downloadProgress, fetch, [fetch](qint64 received, qint64) {
        if (received > signatureSizeLimit)
            fetch->abort();
    });
    connect(fetch, &QNetworkReply::finished, this, &ManifestSignatureCheck::onSignatureReply);
}

void ManifestSignatureCheck::cancel()
{
    pendingManifest.clear();
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void ManifestSignatureCheck::onSignatureReply()
{
    auto *finished = qobject_cast<QNetworkReply *>(sender());
    if (!finished)
        return;
    finished->deleteLater();
    if (finished == reply)
        reply = nullptr;
    const QByteArray document = std::exchange(pendingManifest, QByteArray());
    const QString url = finished->url().toString();
    const SigningKeys &keys = LauncherConfig::instance().signingKeys;

    QString detail;
    QString problem;
    if (finished->error() != QNetworkReply::NoError) {
        detail = finished->errorString();
        problem = signedmanifest::missingSignatureText();
    } else {
        problem = signedmanifest::signatureProblem(keys, document, finished->readAll(), &detail);
    }
    if (!problem.isEmpty()) {
        Logger::instance().log(
            Error, QStringLiteral("Manifest signature check failed for %1: %2").arg(url, detail));
        emit refused(problem);
        return;
    }
    accept(document);
}

void ManifestSignatureCheck::accept(const QByteArray &document)
{
    Logger &log = Logger::instance();
    const QString url = LauncherConfig::instance().manifestUrl;
    // Parsed aside: a refused document must leave the accepted one in place.
    Manifest candidate = std::exchange(base, Manifest());
    if (!candidate.parse(document)) {
        emit refused(QStringLiteral("Failed to parse manifest: %1").arg(candidate.error));
        return;
    }
    if (candidate.files.isEmpty() && candidate.refusedEntries > 0) {
        emit refused(QStringLiteral("Manifest has no valid files: all %1 entries were refused")
                         .arg(candidate.refusedEntries));
        return;
    }
    PublishedRecord record;
    QString detail;
    const QString problem = signedmanifest::freshnessProblem(
        candidate, QDateTime::currentSecsSinceEpoch(), record.newest(), &detail);
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
