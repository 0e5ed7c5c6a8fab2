#pragma once

class QNetworkRequest;

// Anything but plain "http" (compared case-sensitively, after URL parsing lower-cased the scheme)
// gets the default TLS configuration with peer verification and TLS 1.2 or later.
void applyTlsPolicy(QNetworkRequest &request);
