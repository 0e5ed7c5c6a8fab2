#include "signer.h"

#include <QFile>
#include <QSaveFile>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

struct Signer::Key
{
    EVP_PKEY *pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

QByteArray readBio(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(size));
}

bool isP256(EVP_PKEY *pkey)
{
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_get_base_id(pkey) == EVP_PKEY_EC &&
           EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group),
                                          &length) == 1 &&
           qstrcmp(group, "prime256v1") == 0;
}

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions,
               QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(permissions) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

Signer::Signer() = default;
Signer::~Signer() = default;

bool Signer::isLoaded() const
{
    return key && key->pkey;
}

bool Signer::load(const QString &pemPath, QString *error)
{
    QFile file(pemPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(pemPath, file.errorString());
        return false;
    }
    const QByteArray pem = file.readAll();
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    auto loaded = std::make_unique<Key>();
    loaded->pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!loaded->pkey) {
        *error = QStringLiteral("%1 holds no private key in PEM form").arg(pemPath);
        return false;
    }
    if (!isP256(loaded->pkey)) {
        *error = QStringLiteral("%1 is not an ECDSA P-256 key (make one with: openssl ecparam "
                                "-name prime256v1 -genkey -noout -out key.pem)")
                     .arg(pemPath);
        return false;
    }
    key = std::move(loaded);
    return true;
}

bool Signer::generate(const QString &privatePath, const QString &publicPath, QString *error)
{
    auto made = std::make_unique<Key>();
    made->pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!made->pkey) {
        *error = QStringLiteral("cannot make a P-256 key");
        return false;
    }
    BIO *bio = BIO_new(BIO_s_mem());
    const bool written =
        bio && PEM_write_bio_PrivateKey(bio, made->pkey, nullptr, nullptr, 0, nullptr, nullptr);
    const QByteArray privatePem = written ? readBio(bio) : QByteArray();
    BIO_free(bio);
    if (privatePem.isEmpty()) {
        *error = QStringLiteral("cannot write the new key");
        return false;
    }
    key = std::move(made);
    return writeFile(privatePath, privatePem, QFileDevice::ReadOwner | QFileDevice::WriteOwner,
                     error) &&
           writeFile(publicPath, publicKeyPem(),
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                         QFileDevice::ReadOther,
                     error);
}

QByteArray Signer::sign(const QByteArray &data) const
{
    if (!isLoaded())
        return QByteArray();
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    size_t length = 0;
    QByteArray signature;
    if (context && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key->pkey) == 1 &&
        EVP_DigestSign(context, nullptr, &length,
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       size_t(data.size())) == 1) {
        signature.resize(int(length));
        if (EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length,
                           reinterpret_cast<const unsigned char *>(data.constData()),
                           size_t(data.size())) == 1)
            signature.resize(int(length));
        else
            signature.clear();
    }
    EVP_MD_CTX_free(context);
    return signature;
}

QByteArray Signer::publicKeyPem() const
{
    if (!isLoaded())
        return QByteArray();
    BIO *bio = BIO_new(BIO_s_mem());
    const QByteArray pem =
        bio && PEM_write_bio_PUBKEY(bio, key->pkey) ? readBio(bio) : QByteArray();
    BIO_free(bio);
    return pem;
}
