#pragma once

#include "core/failuretext.h"
#include "files/manifest.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class DocumentFetch;
class QNetworkAccessManager;

// The check of a manifest where signing keys are configured: its bytes are held back until its
// signature (the same URL with ".sig" appended) has been fetched and checked; only then is the
// document parsed, its publication time checked against the newest one accepted before (from any
// URL), its expiry time against the clock, and handed over. Nothing of a refused manifest
// reaches the file checks.
class ManifestSignatureCheck : public QObject
{
    Q_OBJECT

public:
    ManifestSignatureCheck(QNetworkAccessManager *network, const QByteArray &userAgent,
                           QObject *parent = nullptr);

    // Fetches the signature of `document`; `current` is the manifest in place, which keeps what a
    // newer document leaves out (its base client).
    void start(QByteArray document, const Manifest &current);
    // How long the signature may stay too slow to be of use (LowSpeedGuard); 0: no such rule.
    void setLowSpeedWindow(int milliseconds) { lowSpeedWindowMs = milliseconds; }

    // A DER P-256 signature has at most 72 bytes; anything much longer is not one.
    static constexpr qint64 signatureSizeLimit = 4096;
    // A signature this small that has not arrived by then will not.
    static constexpr int signatureDeadlineMs = 60000;
    // Drops the check under way without a word: nobody waits for its outcome any longer.
    void cancel();

signals:
    void accepted(Manifest manifest);
    // Why the manifest was refused, for the log and for the player.
    void refused(const FailureText &text);

private slots:
    void onSignatureReply();

private:
    void accept(QByteArray document);

    QNetworkAccessManager *network;
    QByteArray userAgent;
    int lowSpeedWindowMs = 0;
    DocumentFetch *fetch = nullptr;
    // The manifest's bytes while its signature is fetched, and the manifest they would replace.
    QByteArray pendingManifest;
    Manifest base;
};
