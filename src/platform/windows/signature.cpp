#include "platform/platform.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <limits>

namespace platform {

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

bool sha256Of(const void *data, std::size_t size, unsigned char (&digest)[32])
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    auto *bytes = static_cast<const unsigned char *>(data);
    // The length is a ULONG: larger pieces go in several calls.
    while (ok && size > 0) {
        const ULONG piece = static_cast<ULONG>(
            size < std::numeric_limits<ULONG>::max() ? size : std::numeric_limits<ULONG>::max());
        ok = succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
    ok = ok && succeeded(BCryptFinishHash(hash, digest, sizeof(digest), 0));
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

} // namespace

bool verifyP256Signature(const P256PublicKey &key, const void *data, std::size_t size,
                         const std::string &signature)
{
    // CNG takes r and s side by side, not the DER that openssl writes.
    const std::optional<std::array<unsigned char, 64>> rs = decodeDerSignature(signature);
    unsigned char digest[32];
    if (!rs || !sha256Of(data, size, digest))
        return false;

    // BCRYPT_ECCKEY_BLOB followed by X and Y.
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), key.data() + 1, 64);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    bool valid = false;
    if (succeeded(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &publicKey, blob,
                                      sizeof(blob), 0))) {
        valid =
            succeeded(BCryptVerifySignature(publicKey, nullptr, digest, sizeof(digest),
                                            const_cast<PUCHAR>(rs->data()), ULONG(rs->size()), 0));
        BCryptDestroyKey(publicKey);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return valid;
}

} // namespace platform
