#include "files/signedmanifest.h"

#include "core/signingkeys.h"
#include "files/manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace signedmanifest {

namespace {
FailureText unverified(const FailureText &reason)
{
    return FailureText("SignedManifest", "The game files could not be verified: %1.").arg(reason);
}
} // namespace

QUrl signatureUrl(const QUrl &document)
{
    QUrl url = document;
    url.setPath(document.path() + QStringLiteral(".sig"));
    return url;
}

FailureText missingSignatureText()
{
    return unverified(FailureText("SignedManifest", "the manifest's signature is missing"));
}

FailureText signatureProblem(const SigningKeys &keys, const QByteArray &document,
                             const QByteArray &signature, QString *detail)
{
    if (keys.count() == 0) {
        *detail = QStringLiteral("no usable signing key (%1)").arg(keys.problem());
        return unverified(FailureText("SignedManifest", "no usable signing key is configured"));
    }
    if (signature.isEmpty()) {
        *detail = QStringLiteral("the signature file is empty");
        return unverified(FailureText("SignedManifest", "the manifest's signature is invalid"));
    }
    if (!platform::decodeDerSignature(signature.toStdString())) {
        *detail = QStringLiteral("the signature file holds no DER ECDSA signature (%1 bytes)")
                      .arg(signature.size());
        return unverified(FailureText("SignedManifest", "the manifest's signature is invalid"));
    }
    if (!keys.verify(document, signature)) {
        *detail = QStringLiteral("the signature does not match the manifest under any of the %1 "
                                 "trusted key(s)")
                      .arg(keys.count());
        return unverified(FailureText("SignedManifest", "the manifest's signature is invalid"));
    }
    return FailureText();
}

FailureText freshnessProblem(const Manifest &manifest, qint64 now, qint64 highestAccepted,
                             QString *detail)
{
    if (manifest.published < 0) {
        *detail = manifest.published == -1 ? QStringLiteral("no \"published\" time")
                                           : QStringLiteral("\"published\" is no time");
        return unverified(FailureText("SignedManifest", "the manifest has no publication time"));
    }
    if (manifest.published > now + maxClockLeadSeconds) {
        *detail = QStringLiteral("published %1, more than a day after this computer's time %2")
                      .arg(manifest.published)
                      .arg(now);
        return unverified(FailureText("SignedManifest",
                                      "the manifest was published more than a day after the time "
                                      "this computer's clock shows; check its date and time"));
    }
    if (manifest.published < highestAccepted) {
        *detail = QStringLiteral("published %1, but %2 was accepted before")
                      .arg(manifest.published)
                      .arg(highestAccepted);
        return FailureText("SignedManifest",
                           "The server offered game files older than those already installed.");
    }
    if (manifest.expires == -2 || (manifest.expires >= 0 && manifest.expires < now)) {
        *detail = manifest.expires == -2
                      ? QStringLiteral("\"expires\" is no time")
                      : QStringLiteral("expired at %1, now %2").arg(manifest.expires).arg(now);
        return unverified(FailureText("SignedManifest", "the manifest has expired"));
    }
    return FailureText();
}

} // namespace signedmanifest

PublishedRecord::PublishedRecord(const QString &filePath) : path(filePath) {}

QString PublishedRecord::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/published-manifests.json");
}

QJsonObject PublishedRecord::read() const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

qint64 PublishedRecord::highest(const QString &url) const
{
    const QJsonValue value = read().value(url);
    return value.isDouble() ? qint64(value.toDouble()) : -1;
}

qint64 PublishedRecord::newest(qint64 notAfter) const
{
    qint64 newest = -1;
    for (const QJsonValue &value : read()) {
        const qint64 published = value.isDouble() ? qint64(value.toDouble()) : -1;
        if (published <= notAfter)
            newest = qMax(newest, published);
    }
    return newest;
}

bool PublishedRecord::raise(const QString &url, qint64 published)
{
    QJsonObject record = read();
    const QJsonValue known = record.value(url);
    if (known.isDouble() && qint64(known.toDouble()) >= published)
        return true;
    record.insert(url, double(published));
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written aside and renamed into place: a torn file would forget every URL's record.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(record).toJson(QJsonDocument::Compact));
    return file.commit();
}
