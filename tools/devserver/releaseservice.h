#pragma once

#include <QJsonObject>
#include <QString>

#include <memory>

class Signer;

class DevServer;

// The launcher release as GitHub publishes it: version.json through the REST "contents" endpoint
// and the executables as raw files on the release branch.
struct ReleaseServiceOptions
{
    QString repository = QStringLiteral("veyrun/wardgate-release");
    QString branch = QStringLiteral("main");
    QString version = QStringLiteral("1.0.17");
    // Served as "Wardgate.exe"; its SHA-256 is published as "exe_hash". Empty: not published.
    QString windowsExecutable;
    // Served as "Wardgate"; its SHA-256 is published as "exe_hash_linux". Empty: not published.
    QString linuxExecutable;
    // Keys that replace the computed version.json's; a null value removes the key.
    QJsonObject overrides;
    // False: answer with the version.json object itself instead of the contents envelope.
    bool contentsEnvelope = true;
    // When set, version.json's signature is published as version.json.sig beside it.
    std::shared_ptr<const Signer> signer;
};

// GET /repos/<repository>/contents/version.json[?ref=<branch>] (and version.json.sig, signed)
// GET /<repository>/<branch>/Wardgate.exe and /<repository>/<branch>/Wardgate
// Digests are taken from the files at request time, so a test may replace them between requests.
void installReleaseService(DevServer &server, const ReleaseServiceOptions &options);

// The contents endpoint's base64: 60 characters a line, each line ended by "\n".
QString contentsBase64(const QByteArray &data);
