#include "platform/platform.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace platform {

bool verifyP256Signature(const P256PublicKey &key, const void *data, std::size_t size,
                         const std::string &signature)
{
    // The shared reader decides what a well-formed signature is, so both systems refuse the same.
    if (!decodeDerSignature(signature))
        return false;
    // Rebuilt as a SubjectPublicKeyInfo, the one form OpenSSL 1.1 and 3 both read the same way.
    static const unsigned char header[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
    unsigned char info[sizeof(header) + 65];
    std::memcpy(info, header, sizeof(header));
    std::memcpy(info + sizeof(header), key.data(), key.size());
    const unsigned char *cursor = info;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        d2i_PUBKEY(nullptr, &cursor, long(sizeof(info))), &EVP_PKEY_free);
    if (!publicKey)
        return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char *>(signature.data()),
                            signature.size(), static_cast<const unsigned char *>(data), size) == 1;
}

} // namespace platform
