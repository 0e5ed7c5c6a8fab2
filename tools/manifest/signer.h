#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// The operator's side of signing: an ECDSA P-256 private key that signs with SHA-256, writing
// the same DER bytes as `openssl dgst -sha256 -sign key.pem`.
class Signer
{
public:
    Signer();
    ~Signer();
    Signer(const Signer &) = delete;
    Signer &operator=(const Signer &) = delete;

    // Reads a PEM private key; false, with a readable `error`, when the file cannot be read or
    // holds anything but an ECDSA P-256 key.
    bool load(const QString &pemPath, QString *error);
    // Makes a new key and writes it (readable by the owner only) and its public key as PEM.
    bool generate(const QString &privatePath, const QString &publicPath, QString *error);

    bool isLoaded() const;
    // The DER signature of `data`; empty when signing failed.
    QByteArray sign(const QByteArray &data) const;
    // The public key as PEM ("-----BEGIN PUBLIC KEY-----").
    QByteArray publicKeyPem() const;

private:
    struct Key;
    std::unique_ptr<Key> key;
};
