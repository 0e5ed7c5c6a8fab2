#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>

class QNetworkRequest;

// Anything but plain "http" (compared case-sensitively, after URL parsing lower-cased the scheme)
// gets the default TLS configuration with peer verification and TLS 1.2 or later, trusting the
// extra certificate authorities below besides the system's.
void applyTlsPolicy(QNetworkRequest &request);

// Certificate authorities trusted besides the system's, for a server whose certificate no public
// authority signed (a trial's self-signed one). Set at start-up before the first request; empty
// by default.
void setExtraCaCertificates(const QList<QSslCertificate> &certificates);
QList<QSslCertificate> extraCaCertificates();

// Reads every certificate of a PEM file into the extra authorities. False, with the reason in
// `error`, when the file cannot be read or holds no certificate; the authorities stay as they were.
bool trustCaCertificatesFile(const QString &pemFile, QString *error);
