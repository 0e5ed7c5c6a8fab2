#include "platform/platform.h"

#include <openssl/evp.h>

namespace platform {

struct Sha256::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = false;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state(std::make_unique<State>())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    // The algorithm is looked up once: OpenSSL 3 otherwise searches its providers, under a lock,
    // for every digest, which dominated the time of a scan of many small files.
    static const EVP_MD *const sha256 = []() -> const EVP_MD * {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
        if (const EVP_MD *fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr))
            return fetched;
#endif
        return EVP_sha256();
    }();
    state->ok = state->context && EVP_DigestInit_ex(state->context, sha256, nullptr) == 1;
}

void Sha256::add(const void *data, std::size_t size)
{
    if (state->ok)
        state->ok = EVP_DigestUpdate(state->context, data, size) == 1;
}

std::string Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool finished = state->ok && EVP_DigestFinal_ex(state->context, digest, &length) == 1;
    state->ok = false;
    if (!finished)
        return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string text(size_t(length) * 2, '0');
    for (unsigned int i = 0; i < length; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0xf];
    }
    return text;
}

} // namespace platform
