#pragma once

#include "files/manifest.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

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
    void start(const QByteArray &document, const Manifest &current);
    // Drops the check under way without a word: nobody waits for its outcome any longer.
    void cancel();

signals:
    void accepted(Manifest manifest);
    // The player's text of why the manifest was refused.
    void refused(QString text);

private slots:
    void onSignatureReply();

private:
    void accept(const QByteArray &document);

    QNetworkAccessManager *network;
    QByteArray userAgent;
    QNetworkReply *reply = nullptr;
    // The manifest's bytes while its signature is fetched, and the manifest they would replace.
    QByteArray pendingManifest;
    Manifest base;
};
