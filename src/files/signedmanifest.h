#pragma once

#include "core/failuretext.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <limits>

class SigningKeys;
struct Manifest;

// What a manifest must pass, beyond being well formed, where signing keys are configured: a
// signature by a trusted key over its exact bytes, a publication time no older than the newest
// one accepted before, and an expiry time that has not passed.
namespace signedmanifest {

// Where a document's signature lies: ".sig" appended to the URL's path.
QUrl signatureUrl(const QUrl &document);

// What the player reads when `signature` is no trusted signature of `document`, with the
// technical reason in `detail`; empty when it is one.
FailureText signatureProblem(const SigningKeys &keys, const QByteArray &document,
                             const QByteArray &signature, QString *detail);
// The text for a signature that could not be fetched at all.
FailureText missingSignatureText();

// How far a manifest's "published" may be ahead of the player's clock: clocks that are a few
// hours off, or in another time zone than they believe, still take a fresh manifest.
constexpr qint64 maxClockLeadSeconds = 24 * 60 * 60;

// What the player reads when a signed manifest is too old to be taken: no publication time,
// published more than a day after `now` (recorded, it would make every later manifest look
// old), older than `highestAccepted` (-1: none yet), or expired at `now`; empty when it is fresh.
FailureText freshnessProblem(const Manifest &manifest, qint64 now, qint64 highestAccepted,
                             QString *detail);

} // namespace signedmanifest

// The newest "published" accepted per manifest URL, in a small JSON file in the user's data
// folder, so that an older signed manifest cannot be replayed after a restart either.
class PublishedRecord
{
public:
    explicit PublishedRecord(const QString &filePath = defaultPath());

    // -1 when nothing was accepted from `url` yet.
    qint64 highest(const QString &url) const;
    // The newest accepted from any URL, leaving out any after `notAfter`; -1 when none. The remote
    // configuration names the URL, so a record of one URL alone would let whoever forges that
    // configuration replay an old signed manifest from a fresh URL. A time recorded far ahead of
    // the clock (by an older launcher, from a server whose clock was wrong) would hold back every
    // manifest published until then.
    qint64 newest(qint64 notAfter = std::numeric_limits<qint64>::max()) const;
    // Records `published` for `url` when it is newer; false when the file cannot be written.
    bool raise(const QString &url, qint64 published);

    static QString defaultPath();

private:
    QJsonObject read() const;

    QString path;
};
